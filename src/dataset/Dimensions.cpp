#include "dataset/Dimensions.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <numeric>

#include "dataset/DataFile.h"
#include "dataset/FixedFields.h"
#include "dataset/DataSetError.h"
#include "dataset/Lines.h"

namespace qemdata {

namespace ff = fixed_fields;

const std::array<DimensionLayout, dimensionCount>& dimensionLayouts() {
    static const std::array<DimensionLayout, dimensionCount> layouts{{
        {"product", "prodtree.qem", "prodhier.qem", 12, 12,
         {"Code", "Class", "Group", "Family", "Line", "Division", "Top"}, {12, 12, 12, 12, 12, 12}},
        {"customer", "custtree.qem", "custhier.qem", 12, 12, {"Store", "Retailer", "Top"}, {12, 12}},
        {"channel", "chantree.qem", "chanhier.qem", 12, 12, {"Base", "Top"}, {12}},
        {"time", "timetree.qem", "timehier.qem", 6, 7, {"Month", "Quarter", "Year"}, {6, 6, 4}},
    }};
    return layouts;
}

std::string DimensionLayout::levelColumn(size_t column) const {
    std::string name = levels.at(column + 1);
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return name;
}

namespace {

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

// Pass 1 over the tree file: codes, level names and duplicate keys; parents
// are resolved once every member is known.
void readTree(const FileFinder& find, Dimension& dim, const BytesRead& seen, const CompressedRead& whole) {
    const DimensionLayout& l = dim.layout;
    const DataFile& file = find(l.treeFile);
    const int length = 2 * l.codeWidth + l.levelWidth;
    const ff::Field code{"code", 1, l.codeWidth}, parent{"parent code", 1 + l.codeWidth, l.codeWidth},
        level{"level", 1 + 2 * l.codeWidth, l.levelWidth};
    const uint64_t stride = static_cast<uint64_t>(length) + 1;
    dim.index.reserve(static_cast<size_t>(file.size() / stride + 1));
    std::vector<std::string> parents;
    std::vector<uint64_t> lineOf;
    lines::forEachInFile(file, length, [&](const char* line, uint64_t number) {
        Member m;
        m.code = std::string(ff::text(code, line, true));
        const std::string_view levelName = ff::text(level, line, true);
        m.level = -1;
        for (size_t i = 0; i < l.levels.size(); ++i)
            if (levelName == l.levels[i]) m.level = static_cast<int32_t>(i);
        if (m.level < 0) ff::fail(level, line, ("is not a level of " + std::string(l.table)).c_str());
        const int32_t earlier = dim.index.add(m.code, static_cast<int32_t>(dim.members.size()), m.level);
        if (earlier >= 0)
            throw LineError("duplicate key: " + std::string(l.table) + " " + quoted(m.code) + " is already on line " +
                            std::to_string(lineOf[earlier]));
        parents.emplace_back(ff::text(parent, line, true, true));
        lineOf.push_back(number);
        dim.members.push_back(std::move(m));
    }, seen, whole);
    for (size_t i = 0; i < dim.members.size(); ++i) {
        Member& m = dim.members[i];
        const std::string where = std::string(l.treeFile) + " line " + std::to_string(lineOf[i]) + ": ";
        const size_t top = l.levels.size() - 1;
        if (parents[i].empty()) {
            if (static_cast<size_t>(m.level) != top)
                throw DataSetError(where + std::string(l.table) + " " + quoted(m.code) + " of level " +
                                l.levels[m.level] + " has no parent");
            continue;
        }
        m.parent = dim.find(parents[i]);
        if (m.parent < 0)
            throw DataSetError(where + "parent " + quoted(parents[i]) + " is not a " + l.table + " in " + l.treeFile);
        const Member& p = dim.members[m.parent];
        if (p.level != m.level + 1)
            throw DataSetError(where + std::string(l.table) + " " + quoted(m.code) + " of level " + l.levels[m.level] +
                            " has parent " + quoted(p.code) + " of level " + l.levels[p.level]);
    }
    // Every member's ancestors by its parent links (each one level up, as
    // just checked); the hierarchy file sets the leaves' own below.
    const size_t columns = l.levelColumnCount();
    dim.ancestors.assign(dim.members.size() * columns, -1);
    for (size_t i = 0; i < dim.members.size(); ++i) {
        int32_t at = static_cast<int32_t>(i);
        for (size_t c = 0; c < columns; ++c) {
            const int32_t level = static_cast<int32_t>(c) + 1;
            if (level < dim.members[i].level) continue;
            while (at >= 0 && dim.members[at].level < level) at = dim.members[at].parent;
            dim.ancestors[i * columns + c] = at;
        }
    }
}

// The hierarchy file: one line per leaf, with the leaf's ancestors from the
// tree, nearest first, as far as the file's columns go. The ancestors it
// lists become the leaf's level columns.
void checkHierarchy(const FileFinder& find, Dimension& dim, const BytesRead& seen, const CompressedRead& whole) {
    const DimensionLayout& l = dim.layout;
    const DataFile& file = find(l.hierFile);
    std::vector<ff::Field> fields;
    int length = 0;
    for (const int width : l.hierWidths) {
        fields.push_back(ff::Field{fields.empty() ? "leaf code" : "ancestor code", length + 1, width});
        length += width;
    }
    std::vector<uint64_t> listedOn(dim.members.size(), 0);
    size_t leaves = 0;
    for (const Member& m : dim.members) leaves += m.level == 0;
    size_t listed = 0;
    lines::forEachInFile(file, length, [&](const char* line, uint64_t number) {
        const std::string_view leaf = ff::text(fields[0], line, true);
        int32_t at = dim.find(leaf);
        if (at < 0) throw LineError(std::string(l.table) + " " + quoted(leaf) + " is not in " + l.treeFile);
        if (!dim.isLeaf(at))
            throw LineError(std::string(l.table) + " " + quoted(leaf) + " is not a leaf in " + l.treeFile + " (level " +
                            l.levels[dim.members[at].level] + ")");
        if (listedOn[at] != 0)
            throw LineError("duplicate key: " + std::string(l.table) + " " + quoted(leaf) + " is already on line " +
                            std::to_string(listedOn[at]));
        listedOn[at] = number;
        ++listed;
        const size_t leafAt = static_cast<size_t>(at);
        for (size_t c = 1; c < fields.size(); ++c) {
            const std::string_view ancestor = ff::text(fields[c], line, true);
            at = dim.members[at].parent;
            if (at < 0 || ancestor != dim.members[at].code)
                throw LineError(ff::describe(fields[c], line) + " differs from " + l.treeFile + ", where the ancestor is " +
                                (at < 0 ? std::string("none") : quoted(dim.members[at].code)));
            dim.ancestors[leafAt * l.levelColumnCount() + c - 1] = dim.find(ancestor);
        }
    }, seen, whole);
    if (listed != leaves) {
        for (size_t i = 0; i < dim.members.size(); ++i)
            if (dim.isLeaf(static_cast<int32_t>(i)) && listedOn[i] == 0)
                throw DataSetError(std::string(l.hierFile) + ": " + l.table + " " + quoted(dim.members[i].code) +
                                " is a leaf in " + l.treeFile + " but has no line");
    }
}

}  // namespace

Dimensions readDimensions(const FileFinder& find, const BytesRead& seen, const CompressedRead& whole) {
    Dimensions dims;
    dims.all.reserve(dimensionCount);
    for (const DimensionLayout& layout : dimensionLayouts()) {
        dims.all.emplace_back(layout);
        readTree(find, dims.all.back(), seen, whole);
        checkHierarchy(find, dims.all.back(), seen, whole);
    }
    return dims;
}


std::vector<std::vector<uint32_t>> codeRanks(const Dimensions& dims) {
    std::vector<std::vector<uint32_t>> ranks;
    for (const Dimension& dim : dims.all) {
        std::vector<uint32_t> order(dim.members.size());
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(),
                  [&](uint32_t a, uint32_t b) { return dim.members[a].code < dim.members[b].code; });
        std::vector<uint32_t> rank(order.size());
        for (uint32_t r = 0; r < order.size(); ++r) rank[order[r]] = r;
        ranks.push_back(std::move(rank));
    }
    return ranks;
}

}  // namespace qemdata
