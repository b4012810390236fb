#include "sizes/DataSetShape.h"

#include <string_view>

namespace qem {

namespace {

using Wide = __int128;

std::string text(Wide value) {
    if (value == 0) return "0";
    std::string digits;
    for (; value > 0; value /= 10) digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    return digits;
}

}  // namespace

DataSetShape::DataSetShape(int64_t channelCount, int64_t densityCode) : channels(channelCount), code(densityCode) {}

int64_t DataSetShape::sliceProductBlocks(int64_t slice, int64_t stride) const {
    const int64_t blocks = productBlocks();
    return slice < blocks ? (blocks - 1 - slice) / stride + 1 : 0;
}

int64_t DataSetShape::salesCells(int64_t months) const {
    // Always whole: the leaf cells are 81,000 N^2 (N - 1) and the code is
    // even, so 2000 divides their product. problem() keeps the result within
    // 64 bits before anyone asks.
    const Wide leafCells = Wide{channelLeaves()} * customerLeaves() * productLeaves();
    return static_cast<int64_t>(leafCells * months * code / 2000);
}

SalesBatches DataSetShape::salesBatches(int64_t months, int64_t cells) const {
    // Records of the walk in one product block: every customer block of the
    // data region, every channel leaf, its densityCode cells, `months`
    // records a cell.
    const int64_t perBlock = customerBlocks() * channelLeaves() * code * months;
    return SalesBatches(cells, perBlock, productBlocks());
}

int64_t DataSetShape::dimensionFileLines(const std::string& name) const {
    const struct {
        std::string_view name;
        int64_t lines;
    } files[] = {{"prodhier.qem", productLeaves()},   {"prodtree.qem", productMembers()},
                 {"custhier.qem", customerLeaves()},  {"custtree.qem", customerMembers()},
                 {"chanhier.qem", channelLeaves()},   {"chantree.qem", channelMembers()},
                 {"timehier.qem", timeLeaves},        {"timetree.qem", timeMembers}};
    for (const auto& f : files)
        if (f.name == name) return f.lines;
    return -1;
}

std::string DataSetShape::problem() const {
    if (channels < 10 || channels > maxChannelCount)
        return std::to_string(channels) + " channels: the channel count must be from 10 to " +
               std::to_string(maxChannelCount);
    if (!isDensityCode(code)) return "density code " + std::to_string(code) + ": not one of 2, 4, ... 800";
    // The record counts as the generator's first reckoning takes them, in
    // double precision: beyond 2^53 they are no longer counted in ones.
    const Wide leafCells = Wide{channelLeaves()} * customerLeaves() * productLeaves();
    for (const int64_t months : {historicalMonths, int64_t{1}}) {
        const char* file = months == 1 ? "currsale.qem" : "histsale.qem";
        const Wide cells = leafCells * months * code / 2000;
        if (cells > maxRecords)
            return std::string(file) + " would hold " + text(cells) + " records; at most 2^53 (" + text(maxRecords) +
                   ") can be counted exactly";
        const double reckoned = static_cast<double>(channelLeaves()) * static_cast<double>(customerLeaves()) *
                                static_cast<double>(productLeaves()) * static_cast<double>(months) *
                                static_cast<double>(code) / 2000;
        if (reckoned != static_cast<double>(cells))
            return std::string(file) + " would hold " + text(cells) +
                   " records, which double precision does not reckon exactly";
        const SalesBatches batches = salesBatches(months);
        if (batches.slices() > INT32_MAX)
            return std::string(file) + " would need " + text(batches.slices()) + " writers; at most " +
                   text(INT32_MAX);
        if (batches.limit() > INT32_MAX)
            return std::string("a writer of ") + file + " would need a record limit of " + text(batches.limit()) +
                   "; at most " + text(INT32_MAX);
    }
    return "";
}

}  // namespace qem
