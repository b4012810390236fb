#include <gtest/gtest.h>

#include "TestSupport.h"
#include "dims/DimensionWriters.h"
#include "run/Phases.h"

using namespace qem;

namespace {

// Writes the eight dimension files as the first phase does, in a scratch
// directory, and returns their contents by name.
std::map<std::string, std::string> dimensionFilesFor(int32_t seed) {
    qemtest::TempDir directory;
    qemtest::setUpContext(10, 2, seed);
    writeDimensionFiles();
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        files[entry.path().filename()] = qemtest::readFile(entry.path());
    return files;
}

// Expected lines, sorted: for a tree file every member with its parent's code
// (blank for none) and its level name; for a hierarchy file every leaf with its
// ancestors, one column per width.
std::vector<std::string> expectedLines(int dimension, bool tree, const std::vector<size_t>& widths) {
    const DimensionModel& model = *context.dimensionModel;
    const DimensionTable* tables[] = {&model.channels(), &model.customers(), &model.products(), &model.times()};
    std::vector<std::string> lines;
    for (const Member& m : tables[dimension]->members) {
        if (!tree && m.level > 0) continue;
        std::string line;
        const Member* a = &m;
        for (size_t w = 0; w < widths.size(); ++w, a = a ? a->parent : nullptr) {
            const bool levelColumn = tree && w == 2;
            const char* text = levelColumn ? model.levelName(dimension, m.index) : a ? a->code : "";
            line += qemtest::formatted("%-*s", static_cast<int>(widths[w]), text);
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace

TEST(DimensionFiles, EveryMemberAppearsOnceWithItsParentsAndLevel) {
    auto files = dimensionFilesFor(31337);
    const struct {
        const char* name;
        int dimension;
        bool tree;
        std::vector<size_t> widths;
        size_t lineCount;
        int32_t lineLength;  // the writer's, line end included: every line has it
    } expected[] = {
        {"prodhier.qem", 2, false, {12, 12, 12, 12, 12, 12}, 9000, ProductHierarchyWriter::lineLength},
        {"custhier.qem", 1, false, {12, 12}, 900, CustomerHierarchyWriter::lineLength},
        {"prodtree.qem", 2, true, {12, 12, 12}, 10000, ProductTreeWriter::lineLength},
        {"custtree.qem", 1, true, {12, 12, 12}, 1000, CustomerTreeWriter::lineLength},
        {"chanhier.qem", 0, false, {12}, 9, ChannelHierarchyWriter::lineLength},
        {"chantree.qem", 0, true, {12, 12, 12}, 10, ChannelTreeWriter::lineLength},
        {"timehier.qem", 3, false, {6, 6, 4}, 24, TimeHierarchyWriter::lineLength},
        {"timetree.qem", 3, true, {6, 6, 7}, 34, TimeTreeWriter::lineLength}};
    EXPECT_EQ(files.size(), 8u);
    std::vector<std::string> chantree;
    for (const auto& e : expected) {
        const std::string& text = files[e.name];
        EXPECT_TRUE(!text.empty() && text.back() == '\n') << e.name;
        std::vector<std::string> lines;
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(text.substr(start, end - start));
            ASSERT_EQ(lines.back().size() + 1, static_cast<size_t>(e.lineLength)) << e.name;
        }
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines.size(), e.lineCount) << e.name;
        EXPECT_EQ(lines, expectedLines(e.dimension, e.tree, e.widths)) << e.name;
        if (e.dimension == 0 && e.tree) chantree = lines;
    }
    // Exactly one Channel member without parent: the top.
    const auto blankParent = [](const std::string& line) { return line.substr(12, 12) == std::string(12, ' '); };
    ASSERT_EQ(std::count_if(chantree.begin(), chantree.end(), blankParent), 1);
    EXPECT_EQ(std::find_if(chantree.begin(), chantree.end(), blankParent)->substr(24), "Top" + std::string(9, ' '));
}

TEST(DimensionFiles, SameStateGivesByteIdenticalFiles) {
    const auto first = dimensionFilesFor(2024), second = dimensionFilesFor(2024);
    EXPECT_EQ(first.size(), 8u);
    for (const auto& [name, text] : first) EXPECT_TRUE(text == second.at(name)) << name;
}
