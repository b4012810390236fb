#pragma once
#include <cstdint>
#include <string>

#include "sizes/SalesBatches.h"

namespace qem {

// What the size of a data set follows from: the channel count N and the
// density code (cells of every 1000 that carry data for one channel, 2 to
// 800). The member counts of the dimensions, the blocks of the data region
// and the lines of every file but the aggregate ones (inventory, budget: they
// need the density pattern's union of cells as well) come from these two
// numbers alone, in whole numbers; the generator, the part writer and the
// loader take them from here.
class DataSetShape {
public:
    DataSetShape(int64_t channelCount, int64_t densityCode);

    int64_t channelCount() const { return channels; }
    int64_t densityCode() const { return code; }

    // Members and leaves of each dimension: Channel N and N - 1, Customer
    // 100 N and 9 in 10 of them, Product 1000 N and 9000 in 10000 of them,
    // Time 34 and 24.
    int64_t channelMembers() const { return channels; }
    int64_t channelLeaves() const { return channels - 1; }
    int64_t customerMembers() const { return 100 * channels; }
    int64_t customerLeaves() const { return customerMembers() * 9 / 10; }
    int64_t productMembers() const { return 1000 * channels; }
    int64_t productLeaves() const { return productMembers() * 9000 / 10000; }
    static constexpr int64_t timeMembers = 34, timeLeaves = 24;

    // Ends of the data region (fact data lies in the lower 72 % of the
    // customer and product leaves) and its blocks of customersPerBlock by
    // productsPerBlock cells.
    static constexpr int64_t dataRegionPercent = 72;
    static constexpr int64_t customersPerBlock = 10, productsPerBlock = 100;
    int64_t customerEnd() const { return customerLeaves() * dataRegionPercent / 100; }
    int64_t productEnd() const { return productLeaves() * dataRegionPercent / 100; }
    int64_t customerBlocks() const { return (customerEnd() + customersPerBlock - 1) / customersPerBlock; }
    int64_t productBlocks() const { return (productEnd() + productsPerBlock - 1) / productsPerBlock; }
    // The product blocks of slice `slice` of `stride` slices: blocks slice,
    // slice + stride, slice + 2 stride, ... counted from the top block down.
    int64_t sliceProductBlocks(int64_t slice, int64_t stride) const;

    // Sales records the answers ask for: every leaf cell's share of the
    // density, 17 records a cell in the historical file, 1 in the current.
    static constexpr int64_t historicalMonths = 17;
    int64_t historicalCells() const { return salesCells(historicalMonths); }
    int64_t currentCells() const { return salesCells(1); }
    // The batches that write a sales file of `months` records a cell: of the
    // cells the answers ask for, or of `cells` records.
    SalesBatches salesBatches(int64_t months) const { return salesBatches(months, salesCells(months)); }
    SalesBatches salesBatches(int64_t months, int64_t cells) const;

    // Lines of the files that do not depend on the density pattern.
    int64_t dimensionFileLines(const std::string& name) const;  // prodhier.qem ... timetree.qem; -1 for others
    // The cost files walk whole blocks of leaves, 30 months of records a leaf.
    static constexpr int64_t costMonths = 30;
    int64_t customerShippingLines() const { return customerLeaves() / customersPerBlock * customersPerBlock * costMonths; }
    int64_t productCostLines() const { return productLeaves() / productsPerBlock * productsPerBlock * costMonths; }
    int64_t queryFileLines() const { return 250 * channelMembers(); }

    // The aggregate files, from the cells of a block that carry data in at
    // least one channel: historical and current inventory a line a cell,
    // the budget 12 lines (months) a cell.
    static constexpr int64_t budgetMonths = 12;
    int64_t inventoryLines(int64_t aggregateCellsPerBlock) const {
        return customerBlocks() * productBlocks() * aggregateCellsPerBlock;
    }

    // Why a data set of these answers cannot be written correctly, or "" when
    // it can: a channel count or density code no dialogue gives, or counts
    // beyond what the program keeps exactly (records beyond 2^53, where
    // double precision stops counting in ones; a writer's record limit or a
    // file's slices beyond a signed 32-bit count).
    std::string problem() const;

    // The largest channel count whose members all have positions that fit a
    // signed 32-bit integer (1000 product members a channel).
    static constexpr int64_t maxChannelCount = 2147483;
    // Records a file may hold and still be counted exactly in double precision.
    static constexpr int64_t maxRecords = int64_t{1} << 53;

private:
    int64_t salesCells(int64_t months) const;

    int64_t channels;
    int64_t code;
};

// Whether a density code is one the dialogue can produce: even, 2 to 800.
inline bool isDensityCode(int64_t code) { return code >= 2 && code <= 800 && code % 2 == 0; }

}  // namespace qem
