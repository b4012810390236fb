#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "load/CodeIndex.h"
#include "load/DataFile.h"

namespace qemload {

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

    // Position of the member with this code, or -1.
    int32_t find(std::string_view code) const { return index.find(code); }
    bool isLeaf(int32_t position) const { return members[position].level == 0; }
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

// Reads the eight tree and hierarchy files of the folder. Each tree file must
// hold every member once (a repeated code is a duplicate key), with a known
// parent one level up and a known level name; each hierarchy file must list
// every leaf once with exactly the ancestor chain of the tree file. Throws
// LoadError naming the file and line. Each file's bytes are shown to `seen`
// (when given) before its lines are read.
Dimensions readDimensions(const std::string& folder, const BytesRead& seen = nullptr);

}  // namespace qemload
