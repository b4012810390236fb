#include "phase/PhaseFiles.h"

#include <cstdio>

#include "context/Context.h"
#include "dims/DimensionWriters.h"
#include "facts/BudgetWriter.h"
#include "facts/CostWriters.h"
#include "facts/InventoryWriters.h"
#include "facts/SalesWriters.h"
#include "phase/FileCapacities.h"
#include "phase/PhaseRun.h"
#include "queries/QueryWriter.h"

namespace qem {

namespace {

const DimensionModel& model() { return *context.dimensionModel; }

// A file of one writer on the main thread, constructed with (file, capacity, extra...).
template <typename Writer, typename... Extra>
PhaseFile singleFile(const std::string& name, int32_t capacity, int64_t records, const Extra&... extra) {
    PhaseFile f;
    f.name = name;
    f.split = SplitFile{capacity, Writer::lineLength, {records}};
    f.make = [=](OutputFile& file, size_t) -> std::unique_ptr<RecordWriter> {
        return newWriter(file, capacity, [&] { return std::make_unique<Writer>(file, capacity, extra...); });
    };
    return f;
}

// A dimension file: its lines follow from the channel count; the model is
// needed only when a writer is made.
template <typename Writer>
PhaseFile dimensionFile(const char* name, int32_t capacity) {
    PhaseFile f;
    f.name = name;
    f.split = SplitFile{capacity, Writer::lineLength, {dataSetShape().dimensionFileLines(name)}};
    f.make = [=](OutputFile& file, size_t) -> std::unique_ptr<RecordWriter> {
        return newWriter(file, capacity, [&] { return std::make_unique<Writer>(file, capacity, model()); });
    };
    return f;
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

// A sales file: the batches of `cells` records, every writer with the same
// record limit.
template <typename Writer>
PhaseFile salesFile(const char* name, int64_t cells, int32_t months) {
    const SalesBatches batches = dataSetShape().salesBatches(months, cells);
    std::vector<int64_t> records;
    for (int64_t slice = 0; slice < batches.slices(); ++slice) records.push_back(batches.sliceRecords(slice));
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

PhaseFile queryFile(int64_t user) {
    PhaseFile f = singleFile<QueryWriter>(queryFileName(user), capacity::queryFiles, dataSetShape().queryFileLines());
    f.replays = true;
    return f;
}

}  // namespace

int64_t buffersOf(int64_t records, int32_t capacity) { return (records + capacity - 1) / capacity; }

int64_t bufferCount(const SplitFile& file) {
    int64_t buffers = 0;
    for (const int64_t records : file.writerRecords) buffers += buffersOf(records, file.capacity);
    return buffers;
}

int64_t byteCount(const SplitFile& file) {
    int64_t records = 0;
    for (const int64_t r : file.writerRecords) records += r;
    return records * file.lineLength;
}

PhaseFile historicalSalesFile(int64_t cells) {
    return salesFile<HistoricalSalesWriter>("histsale.qem", cells, historicalMonthCount);
}

PhaseFile currentSalesFile(int64_t cells) { return salesFile<CurrentSalesWriter>("currsale.qem", cells, 1); }

int64_t phaseFileCount(int32_t phase) {
    if (phase == 3) return context.state.userCount;
    return static_cast<int64_t>(phaseFiles(phase).size());
}

PhaseFile phaseFile(int32_t phase, int64_t index, std::optional<int32_t> inventorySeed) {
    if (phase == 3) return queryFile(index + 1);
    return phaseFiles(phase, inventorySeed).at(static_cast<size_t>(index));
}

std::vector<PhaseFile> phaseFiles(int32_t phase, std::optional<int32_t> inventorySeed) {
    const qem::DataSetShape shape = dataSetShape();
    std::vector<PhaseFile> files;
    if (phase == 1) {
        files.push_back(dimensionFile<ProductHierarchyWriter>("prodhier.qem", capacity::productFiles));
        files.push_back(dimensionFile<ProductTreeWriter>("prodtree.qem", capacity::productFiles));
        files.push_back(dimensionFile<CustomerHierarchyWriter>("custhier.qem", capacity::customerFiles));
        files.push_back(dimensionFile<CustomerTreeWriter>("custtree.qem", capacity::customerFiles));
        files.push_back(dimensionFile<ChannelHierarchyWriter>("chanhier.qem", capacity::channelFiles));
        files.push_back(dimensionFile<ChannelTreeWriter>("chantree.qem", capacity::channelFiles));
        files.push_back(dimensionFile<TimeHierarchyWriter>("timehier.qem", capacity::timeHierarchy));
        files.push_back(dimensionFile<TimeTreeWriter>("timetree.qem", capacity::timeTree));
        files.push_back(historicalSalesFile(shape.historicalCells()));
        files.push_back(batchFile<HistoricalInventoryWriter>(
            "histinv.qem", capacity::historicalInventory, 1, aggregateRecords(1), [=](OutputFile& file, size_t) {
                return std::make_unique<HistoricalInventoryWriter>(file, capacity::historicalInventory, inventorySeed);
            }));
        files.push_back(singleFile<ShippingCostWriter>("custship.qem", capacity::costFiles, shape.customerShippingLines()));
        files.push_back(singleFile<ProductCostWriter>("prodcos.qem", capacity::costFiles, shape.productCostLines()));
    } else if (phase == 2) {
        files.push_back(batchFile<BudgetWriter>("budget.qem", capacity::budget, 1, aggregateRecords(budgetMonthCount),
                                                [](OutputFile& file, size_t) {
                                                    return std::make_unique<BudgetWriter>(file, capacity::budget);
                                                }));
        files.push_back(currentSalesFile(shape.currentCells()));
        files.push_back(singleFile<CurrentInventoryWriter>(
            "currinv.qem", capacity::currentInventory,
            customerBlocks() * sliceProductBlocks(0, 1) * aggregateCellsPerBlock(), inventorySeed));
    } else {
        for (int64_t u = 1; u <= context.state.userCount; ++u) files.push_back(queryFile(u));
    }
    return files;
}

}  // namespace qem
