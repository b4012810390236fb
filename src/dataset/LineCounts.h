#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qemdata {

// The line counts a data set's files must have, as they follow from the data
// set itself: the channel count N from the channel tree, the density code
// from the current sales file, the inventory's cell count K from the
// historical inventory file; every other file's lines from these.
struct DataSetSize {
    int64_t channels = 0;
    int64_t densityCode = 0;  // 0: not found (a file of whole lines was missing)
    int64_t users = 0;        // query files loaded
    bool usersChecked = false;  // users came from --users and were checked
};

// The whole lines of each file, by name (dimension, fact and cost files, and
// every query file); std::nullopt for a file whose size is not a whole number
// of lines: it holds a line of the wrong length, which the line checks name,
// and the counts that depend on it are not checked here.
using FileLines = std::map<std::string, std::optional<int64_t>>;

// Throws DataSetError naming every file whose lines are not those the data set
// implies ("budget.qem: 800000 lines; the data set's histinv.qem (76050
// lines) implies 912600"). chantree.qem must be present.
DataSetSize checkLineCounts(const FileLines& lines, const std::vector<std::string>& queryFiles);

}  // namespace qemdata
