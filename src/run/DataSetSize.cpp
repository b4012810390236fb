#include "run/DataSetSize.h"

#include <array>
#include <cstdio>

#include "context/Context.h"
#include "dims/DimensionWriters.h"
#include "facts/BudgetWriter.h"
#include "facts/CostWriters.h"
#include "facts/InventoryWriters.h"
#include "facts/SalesWriters.h"
#include "queries/QueryWriter.h"
#include "run/Phases.h"
#include "run/WorkerBatch.h"

namespace {

const DimensionModel& model() { return *context.dimensionModel; }

// Blocks of blockSize whose first position lies below end.
uint64_t blocksBelow(int32_t end, int32_t blockSize) {
    return (static_cast<uint64_t>(end) + static_cast<uint64_t>(blockSize) - 1) / static_cast<uint64_t>(blockSize);
}

// Customer-product cells of the data region with data in at least one
// channel. The union of the channels' cells has the same size in every block
// (one shift moves every channel's cells of a block alike), so the first
// block's aggregate gives it.
uint64_t aggregateCells() {
    const uint64_t perBlock = static_cast<uint64_t>(context.densityPattern->aggregate(0, 0)->cellCount());
    return blocksBelow(customerEnd(), context.blockCustomers) * blocksBelow(productEnd(), context.blockProducts) *
           perBlock;
}

// A cost file: every leaf of the whole blocks, from the top block down, 18
// Actual and 12 Budget months each.
uint64_t costLines(int32_t leaves, int32_t blockSize) {
    constexpr uint64_t months = (lastActualMonth + 1) + budgetMonthCount;
    return uint64_t(leaves / blockSize) * uint64_t(blockSize) * months;
}

uint64_t queryLines() { return uint64_t{250} * static_cast<uint64_t>(model().channels().memberCount()); }

struct FixedFile {
    const char* name;
    int32_t phase;
    int32_t lineLength;
    uint64_t (*lines)();
};

// The files of phases 1 and 2, in writing order.
const std::array<FixedFile, 15> fixedFiles = {{
    {"prodhier.qem", 1, ProductHierarchyWriter::lineLength, [] { return uint64_t(model().products().leafCount); }},
    {"prodtree.qem", 1, ProductTreeWriter::lineLength, [] { return uint64_t(model().products().memberCount()); }},
    {"custhier.qem", 1, CustomerHierarchyWriter::lineLength, [] { return uint64_t(model().customers().leafCount); }},
    {"custtree.qem", 1, CustomerTreeWriter::lineLength, [] { return uint64_t(model().customers().memberCount()); }},
    {"chanhier.qem", 1, ChannelHierarchyWriter::lineLength, [] { return uint64_t(model().channels().leafCount); }},
    {"chantree.qem", 1, ChannelTreeWriter::lineLength, [] { return uint64_t(model().channels().memberCount()); }},
    {"timehier.qem", 1, TimeHierarchyWriter::lineLength, [] { return uint64_t(model().times().leafCount); }},
    {"timetree.qem", 1, TimeTreeWriter::lineLength, [] { return uint64_t(model().times().memberCount()); }},
    {"histsale.qem", 1, HistoricalSalesWriter::lineLength,
     [] { return salesFileBatches(historicalCells(), historicalMonthCount).records(); }},
    {"histinv.qem", 1, HistoricalInventoryWriter::lineLength, aggregateCells},
    {"custship.qem", 1, CostWriter::lineLength,
     [] { return costLines(model().customers().leafCount, context.blockCustomers); }},
    {"prodcos.qem", 1, CostWriter::lineLength,
     [] { return costLines(model().products().leafCount, context.blockProducts); }},
    {"budget.qem", 2, BudgetWriter::lineLength, [] { return uint64_t{budgetMonthCount} * aggregateCells(); }},
    {"currsale.qem", 2, CurrentSalesWriter::lineLength, [] { return salesFileBatches(currentCells(), 1).records(); }},
    {"currinv.qem", 2, CurrentInventoryWriter::lineLength, aggregateCells},
}};

FileSize sizeOf(const FixedFile& f) { return {f.lines(), static_cast<uint64_t>(f.lineLength)}; }

FileSize querySize() { return {queryLines(), QueryWriter::lineLength}; }

// The user whose query file `name` is, or 0.
int64_t queryUser(std::string_view name) {
    constexpr std::string_view prefix = "qry", suffix = ".qem";
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix)) return 0;
    int64_t user = 0;
    for (const char c : name.substr(prefix.size(), name.size() - prefix.size() - suffix.size())) {
        if (c < '0' || c > '9' || user > context.state.userCount) return 0;
        user = user * 10 + (c - '0');
    }
    // Only the name the program gives the user (no other count of leading zeros).
    return user >= 1 && user <= context.state.userCount && queryFileName(user) == name ? user : 0;
}

}  // namespace

std::string queryFileName(int64_t user) {
    char name[32];
    snprintf(name, sizeof name, "qry%3.3ld.qem", static_cast<long>(user));
    return name;
}

int64_t phaseFileCount(int32_t phase) {
    if (phase == 3) return context.state.userCount;
    int64_t count = 0;
    for (const FixedFile& f : fixedFiles) count += f.phase == phase;
    return count;
}

std::string phaseFileName(int32_t phase, int64_t index) {
    if (phase == 3) return queryFileName(index + 1);
    for (const FixedFile& f : fixedFiles)
        if (f.phase == phase && index-- == 0) return f.name;
    return {};
}

std::optional<FileSize> expectedFileSize(std::string_view name) {
    for (const FixedFile& f : fixedFiles)
        if (name == f.name) return sizeOf(f);
    if (queryUser(name) > 0) return querySize();
    return std::nullopt;
}

uint64_t expectedPhaseBytes(int32_t phase) {
    if (phase == 3) return static_cast<uint64_t>(context.state.userCount) * querySize().bytes();
    uint64_t bytes = 0;
    for (const FixedFile& f : fixedFiles)
        if (f.phase == phase) bytes += sizeOf(f).bytes();
    return bytes;
}
