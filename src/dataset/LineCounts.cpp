#include "dataset/LineCounts.h"

#include <algorithm>

#include "dataset/DataSetError.h"
#include "sizes/DataSetShape.h"

namespace qemdata {

namespace {

using qem::DataSetShape;

const char* const channelTree = "chantree.qem";

class Checker {
public:
    explicit Checker(const FileLines& l) : lines(l) {}

    // Lines of a file, or nullopt when its lines are not whole.
    std::optional<int64_t> of(const std::string& name) const {
        const auto it = lines.find(name);
        return it == lines.end() ? std::nullopt : it->second;
    }

    // A file whose lines follow from `source` (with `what` said about it).
    void expect(const std::string& name, int64_t expected, const std::string& source) {
        const auto found = of(name);
        if (found && *found != expected)
            faults.push_back(name + ": " + std::to_string(*found) + " lines; the data set's " + source + " implies " +
                             std::to_string(expected));
    }

    void fault(std::string text) { faults.push_back(std::move(text)); }

    void finish() const {
        if (faults.empty()) return;
        std::string message;
        for (const std::string& f : faults) message += (message.empty() ? "" : "\n") + f;
        throw DataSetError(message);
    }

private:
    const FileLines& lines;
    std::vector<std::string> faults;
};

std::string linesOf(const std::string& name, int64_t lines) {
    return name + " (" + std::to_string(lines) + " lines)";
}

// The density code whose current sales file has `lines` lines in a data set
// of `channels` channels, or 0 with the fault in `why`.
int64_t densityCodeOf(int64_t channels, int64_t lines, std::string& why) {
    int64_t below = 0, above = 0;
    uint64_t belowLines = 0, aboveLines = 0;
    for (int64_t code = 2; code <= 800; code += 2) {
        const DataSetShape shape(channels, code);
        if (!shape.problem().empty()) continue;
        const uint64_t records = shape.salesBatches(1).records();
        if (records == static_cast<uint64_t>(lines)) return code;
        if (records < static_cast<uint64_t>(lines)) {
            below = code;
            belowLines = records;
        } else if (above == 0) {
            above = code;
            aboveLines = records;
        }
    }
    why = "currsale.qem: " + std::to_string(lines) + " lines; no density code of a data set of " +
          std::to_string(channels) + " channels (the lines of " + channelTree + ") implies that many: ";
    auto gives = [](int64_t code, uint64_t n) {
        return "density code " + std::to_string(code) + " implies " + std::to_string(n);
    };
    if (below && above)
        why += gives(below, belowLines) + ", " + gives(above, aboveLines);
    else if (above)
        why += "the least, " + gives(above, aboveLines);
    else if (below)
        why += "the most, " + gives(below, belowLines);
    else
        why += "none of the density codes 2 to 800 gives a data set that can be written";
    return 0;
}

}  // namespace

DataSetSize checkLineCounts(const FileLines& lines, const std::vector<std::string>& queryFiles) {
    Checker check(lines);
    DataSetSize size;
    size.users = static_cast<int64_t>(queryFiles.size());
    const auto channels = check.of(channelTree);
    if (!channels) throw DataSetError(std::string(channelTree) + ": its lines are not whole");
    size.channels = *channels;
    // What follows from the channel count alone (any density code will do).
    const DataSetShape byChannels(size.channels, 2);
    if (size.channels < 10 || size.channels > DataSetShape::maxChannelCount)
        throw DataSetError(linesOf(channelTree, size.channels) + ": " + byChannels.problem());

    const std::string channelSource = linesOf(channelTree, size.channels);
    for (const char* name : {"prodhier.qem", "prodtree.qem", "custhier.qem", "custtree.qem", "chanhier.qem",
                             "timehier.qem", "timetree.qem"})
        check.expect(name, byChannels.dimensionFileLines(name), channelSource);
    check.expect("custship.qem", byChannels.customerShippingLines(), channelSource);
    check.expect("prodcos.qem", byChannels.productCostLines(), channelSource);
    for (const std::string& name : queryFiles) check.expect(name, byChannels.queryFileLines(), channelSource);

    // The density code from the current sales, the historical sales from it.
    if (const auto current = check.of("currsale.qem")) {
        std::string why;
        size.densityCode = densityCodeOf(size.channels, *current, why);
        if (size.densityCode == 0) {
            check.fault(why);
        } else {
            const DataSetShape shape(size.channels, size.densityCode);
            const auto historical = shape.salesBatches(DataSetShape::historicalMonths).records();
            check.expect("histsale.qem", static_cast<int64_t>(historical),
                         "currsale.qem (" + std::to_string(*current) + " lines, density code " +
                             std::to_string(size.densityCode) + ")");
        }
    }

    // K, the historical inventory's lines: a line for each cell of a block
    // that carries data in any channel, in every block of the data region.
    // A channel's cells in a block are distinct, so a block holds at least
    // the density code's cells, at most those of every channel and at most
    // all of its cells. Without a density code, the bounds of any code.
    if (const auto inventory = check.of("histinv.qem")) {
        const int64_t perCell = byChannels.inventoryLines(1);
        const int64_t blockCells = DataSetShape::customersPerBlock * DataSetShape::productsPerBlock;
        const bool known = size.densityCode > 0;
        const int64_t fewest = known ? size.densityCode : 2;
        const int64_t most = known ? std::min(blockCells, size.densityCode * byChannels.channelLeaves()) : blockCells;
        const int64_t cells = *inventory / perCell;
        if (*inventory % perCell != 0 || cells < fewest || cells > most) {
            const std::string code = known ? " and density code " + std::to_string(size.densityCode) : "";
            check.fault("histinv.qem: " + std::to_string(*inventory) + " lines; a data set of " +
                        std::to_string(size.channels) + " channels" + code + " has " +
                        std::to_string(byChannels.inventoryLines(fewest)) + " to " +
                        std::to_string(byChannels.inventoryLines(most)) + " lines in steps of " +
                        std::to_string(perCell) + " (a line for each of the " + std::to_string(fewest) + " to " +
                        std::to_string(most) + " cells of a block that carry data, in each of the data region's " +
                        std::to_string(perCell) + " blocks)");
        } else {
            const std::string source = linesOf("histinv.qem", *inventory);
            check.expect("currinv.qem", *inventory, source);
            check.expect("budget.qem", DataSetShape::budgetMonths * *inventory, source);
        }
    }
    check.finish();
    return size;
}

}  // namespace qemdata
