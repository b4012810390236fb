#include "run/PartFiles.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <functional>

#include "context/Context.h"
#include "dims/DimensionWriters.h"
#include "facts/BudgetWriter.h"
#include "facts/CostWriters.h"
#include "facts/InventoryWriters.h"
#include "facts/SalesWriters.h"
#include "queries/QueryWriter.h"
#include "run/DataSetSize.h"
#include "run/FileCapacities.h"
#include "run/Phases.h"
#include "run/WorkerBatch.h"

namespace {

const DimensionModel& model() { return *context.dimensionModel; }

// A file of one writer on the main thread, constructed with (file, capacity, extra...).
template <typename Writer, typename... Extra>
PhaseFile singleFile(const char* name, int32_t capacity, int64_t records, const Extra&... extra) {
    PhaseFile f;
    f.name = name;
    f.split = SplitFile{capacity, Writer::lineLength, {records}};
    f.make = [=](OutputFile& file, size_t) -> std::unique_ptr<RecordWriter> {
        return newWriter(file, capacity, [&] { return std::make_unique<Writer>(file, capacity, extra...); });
    };
    return f;
}

template <typename Writer>
PhaseFile dimensionFile(const char* name, int32_t capacity, int32_t records) {
    return singleFile<Writer>(name, capacity, records, std::cref(model()));
}

// The cost walk visits the leaves in whole blocks from the top: 30 records a leaf.
template <typename Writer>
PhaseFile costFile(const char* name, int32_t leaves, int32_t block) {
    const int64_t months = lastActualMonth + 1 + budgetMonthCount;
    return singleFile<Writer>(name, capacity::costFiles, int64_t{leaves} / block * block * months);
}

// A file of worker batches: writer w is slice w of 4 x batches; make(file, w)
// constructs it.
template <typename Writer, typename Make>
PhaseFile batchFile(const char* name, int32_t capacity, int64_t batches, const std::vector<int64_t>& records,
                    Make make) {
    PhaseFile f;
    f.name = name;
    f.split = SplitFile{capacity, Writer::lineLength, records};
    f.groupSize = workerCount;
    const int32_t stride = static_cast<int32_t>(batches * workerCount);
    f.make = [=](OutputFile& file, size_t w) -> std::unique_ptr<RecordWriter> {
        std::unique_ptr<RecordWriter> writer = newWriter(file, capacity, [&] { return make(file, w); });
        writer->setStride(stride).setSliceIndex(static_cast<int32_t>(w));
        return writer;
    };
    return f;
}

// Records per cell-block of the aggregate walk (inventory, budget): every
// block holds the same number of cells with data in some channel.
int64_t aggregateCellsPerBlock() { return context.densityPattern->aggregate(0, 0)->cellCount(); }

template <typename Writer>
PhaseFile salesFile(const char* name, double cells, int32_t months) {
    const SalesBatches batches = salesFileBatches(cells, months);
    std::vector<int64_t> records;
    for (int64_t slice = 0; slice < batches.count() * workerCount; ++slice)
        records.push_back(batches.sliceRecords(slice));
    const int32_t quota = batches.quota();
    return batchFile<Writer>(name, capacity::sales, batches.count(), records, [=](OutputFile& file, size_t) {
        return std::make_unique<Writer>(file, capacity::sales, quota);
    });
}

// The records of each of the four writers of an aggregate file.
std::vector<int64_t> aggregateRecords(int32_t months) {
    std::vector<int64_t> records;
    for (int32_t slice = 0; slice < workerCount; ++slice)
        records.push_back(customerBlocks() * sliceProductBlocks(slice, workerCount) * aggregateCellsPerBlock() *
                          months);
    return records;
}

// The inventory writers' rule, the clock in seconds plus the thread's id: the
// four writers of a part run on one thread, so the writer's number is added
// as the four threads of a batch differ.
std::optional<int32_t> clockSeed(size_t writer) {
    return static_cast<int32_t>(static_cast<uint32_t>(::time(nullptr)) + static_cast<uint32_t>(gettid()) +
                                static_cast<uint32_t>(writer));
}

}  // namespace

std::vector<PhaseFile> phaseFiles(int32_t phase, std::optional<int32_t> inventorySeed) {
    const DimensionModel& m = model();
    std::vector<PhaseFile> files;
    if (phase == 1) {
        files.push_back(dimensionFile<ProductHierarchyWriter>("prodhier.qem", capacity::productFiles,
                                                              m.products().leafCount));
        files.push_back(dimensionFile<ProductTreeWriter>("prodtree.qem", capacity::productFiles,
                                                         m.products().memberCount()));
        files.push_back(dimensionFile<CustomerHierarchyWriter>("custhier.qem", capacity::customerFiles,
                                                               m.customers().leafCount));
        files.push_back(dimensionFile<CustomerTreeWriter>("custtree.qem", capacity::customerFiles,
                                                          m.customers().memberCount()));
        files.push_back(dimensionFile<ChannelHierarchyWriter>("chanhier.qem", capacity::channelFiles,
                                                              m.channels().leafCount));
        files.push_back(dimensionFile<ChannelTreeWriter>("chantree.qem", capacity::channelFiles,
                                                         m.channels().memberCount()));
        files.push_back(dimensionFile<TimeHierarchyWriter>("timehier.qem", capacity::timeHierarchy,
                                                           m.times().leafCount));
        files.push_back(dimensionFile<TimeTreeWriter>("timetree.qem", capacity::timeTree, m.times().memberCount()));
        files.push_back(salesFile<HistoricalSalesWriter>("histsale.qem", historicalCells(), historicalMonthCount));
        files.push_back(batchFile<HistoricalInventoryWriter>(
            "histinv.qem", capacity::historicalInventory, 1, aggregateRecords(1), [=](OutputFile& file, size_t w) {
                return std::make_unique<HistoricalInventoryWriter>(file, capacity::historicalInventory,
                                                                   inventorySeed ? inventorySeed : clockSeed(w));
            }));
        files.push_back(costFile<ShippingCostWriter>("custship.qem", m.customers().leafCount, context.blockCustomers));
        files.push_back(costFile<ProductCostWriter>("prodcos.qem", m.products().leafCount, context.blockProducts));
    } else if (phase == 2) {
        files.push_back(batchFile<BudgetWriter>("budget.qem", capacity::budget, 1, aggregateRecords(budgetMonthCount),
                                                [](OutputFile& file, size_t) {
                                                    return std::make_unique<BudgetWriter>(file, capacity::budget);
                                                }));
        files.push_back(salesFile<CurrentSalesWriter>("currsale.qem", currentCells(), 1));
        files.push_back(singleFile<CurrentInventoryWriter>(
            "currinv.qem", capacity::currentInventory, customerBlocks() * sliceProductBlocks(0, 1) * aggregateCellsPerBlock(),
            inventorySeed));
    } else {
        for (int64_t u = 1; u <= context.state.userCount; ++u) {
            PhaseFile f = singleFile<QueryWriter>("", capacity::queryFiles, queryFileLines());
            f.name = queryFileName(u);
            f.replays = true;
            files.push_back(std::move(f));
        }
    }
    return files;
}
