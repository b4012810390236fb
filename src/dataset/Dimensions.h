#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/CodeIndex.h"
#include "dataset/DataFile.h"

namespace qemdata {

// The four stored dimensions as their tree files describe them, checked
// against their hierarchy files.
struct DimensionLayout {
    const char* table;       // table name, also the member noun in messages
    const char* treeFile;
    const char* hierFile;
    int codeWidth;           // width of the code and parent columns of the tree file
    int levelWidth;          // width of the level-name column of the tree file
    std::vector<const char*> levels;  // level names, leaf level first
    std::vector<int> hierWidths;      // the hierarchy file's columns: the leaf, then its ancestors

    // The levels whose ancestors the hierarchy file lists, from the one above
    // the leaf up (Class .. Division, Retailer, Quarter and Year; none for
    // Channel): each is a column of the dimension's table.
    size_t levelColumnCount() const { return hierWidths.size() - 1; }
    // The column of levels[1 + column]: the level name in lower case
    // ("group" is a reserved word of SQL: write it quoted).
    std::string levelColumn(size_t column) const;
};

struct Member {
    std::string code;
    int32_t parent = -1;  // position of the parent, -1 for a root
    int32_t level = 0;    // index into DimensionLayout::levels; 0 is a leaf
};

class Dimension {
public:
    explicit Dimension(const DimensionLayout& l) : layout(l) {}

    const DimensionLayout& layout;
    std::vector<Member> members;
    CodeIndex index;
    // For each member and level column, the member's ancestor at that level
    // (the member itself at its own level), -1 for a level below the
    // member's: members x levelColumnCount(), by member position. A leaf's
    // come from its line of the hierarchy file, any other member's from its
    // parent links.
    std::vector<int32_t> ancestors;

    // Position of the member with this code, or -1.
    int32_t find(std::string_view code) const { return index.find(code); }
    // The same, with the member's level.
    int32_t find(std::string_view code, int32_t& level) const { return index.find(code, level); }
    bool isLeaf(int32_t position) const { return members[position].level == 0; }
    int32_t ancestor(int32_t position, size_t column) const {
        return ancestors[static_cast<size_t>(position) * layout.levelColumnCount() + column];
    }
};

enum DimensionNumber { productDimension, customerDimension, channelDimension, timeDimension, dimensionCount };

const std::array<DimensionLayout, dimensionCount>& dimensionLayouts();

struct Dimensions {
    std::vector<Dimension> all;  // in DimensionNumber order
    const Dimension& operator[](int d) const { return all[d]; }
};

// For each dimension, the rank of every member's code among the dimension's
// codes in byte order, by member position.
std::vector<std::vector<uint32_t>> codeRanks(const Dimensions& dims);

// Member i's row of its dimension's table (columns as dimensionColumnsSql
// gives them): code, parent (NULL for a root), level name, leaf_code (the
// code of a leaf, NULL otherwise), then its ancestor at each level column
// (NULL for a level below the member's).
template <typename Rows>
void memberRow(const Dimension& dim, size_t i, Rows& rows) {
    const DimensionLayout& l = dim.layout;
    const Member& m = dim.members[i];
    const size_t columns = l.levelColumnCount();
    rows.begin(4 + static_cast<int>(columns));
    rows.text(m.code);
    if (m.parent < 0)
        rows.null();
    else
        rows.text(dim.members[m.parent].code);
    rows.text(l.levels[m.level]);
    if (m.level == 0)
        rows.text(m.code);
    else
        rows.null();
    for (size_t c = 0; c < columns; ++c) {
        const int32_t at = dim.ancestor(static_cast<int32_t>(i), c);
        if (at < 0)
            rows.null();
        else
            rows.text(dim.members[at].code);
    }
}

// A data file of the data set by its name.
using FileFinder = std::function<const DataFile&(const std::string& name)>;

// Reads the eight tree and hierarchy files that `find` gives. Each tree file must
// hold every member once (a repeated code is a duplicate key), with a known
// parent one level up and a known level name; each hierarchy file must list
// every leaf once with exactly the ancestor chain of the tree file; the
// ancestors of every member are kept (Dimension::ancestors). Throws
// DataSetError naming the file and line. Each file's bytes are shown to `seen`,
// and its compressed files to `whole` (when given), before its lines are read.
Dimensions readDimensions(const FileFinder& find, const BytesRead& seen = nullptr,
                          const CompressedRead& whole = nullptr);

}  // namespace qemdata
