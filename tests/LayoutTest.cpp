// The folders of src/ form layers: a file may include from its own folder and
// from folders below it, never from one above or beside it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace fs = std::filesystem;

TEST(Layout, IncludesPointDownward) {
    // Foundations at the bottom, run control at the top; facts and queries are
    // siblings. Folders not listed here are not checked, and no listed folder
    // may include from them.
    const std::map<std::string, int> layer = {{"core", 0},    {"sizes", 0}, {"dims", 1},  {"density", 2}, {"context", 3},
                                              {"facts", 4},   {"queries", 4}, {"run", 5}};
    const fs::path src = fs::path(__FILE__).parent_path().parent_path() / "src";
    ASSERT_TRUE(fs::is_directory(src)) << src;
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(src)) {
        if (!entry.is_regular_file()) continue;
        const fs::path relative = fs::relative(entry.path(), src);
        const auto own = layer.find(relative.begin()->string());
        if (relative.begin() == --relative.end() || own == layer.end()) continue;
        ++files;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("#include \"", 0) != 0) continue;
            const std::string target = line.substr(10, line.find('/', 10) - 10);
            const auto other = layer.find(target);
            EXPECT_TRUE(target == own->first || (other != layer.end() && other->second < own->second))
                << relative.string() << ": " << line;
        }
    }
    EXPECT_GT(files, 30);
}
