// The folders of src/ form layers: a file may include from its own folder and
// from the folders its folder is allowed below, never from one above or
// beside it; every folder is known here, and no chain of includes comes back
// to where it started.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Each folder (or program file) of src/ and what it may include from.
std::map<std::string, std::set<std::string>> allowedIncludes() {
    // The generator's libraries, bottom up: each may use every one before it,
    // but facts and queries are siblings, and so are the programs' folders.
    std::map<std::string, std::set<std::string>> allowed;
    const std::vector<std::vector<std::string>> layers = {
        {"sizes", "integrity", "compress"}, {"core"}, {"dims"}, {"density"}, {"context"}, {"facts", "queries"}, {"phase"}, {"run", "part", "verify"}};
    std::set<std::string> below;
    for (const auto& layer : layers) {
        for (const std::string& folder : layer) allowed[folder] = below;
        below.insert(layer.begin(), layer.end());
    }
    // The programs' command lines: below every program's folder, and
    // includes nothing of the project.
    allowed["cli"] = {};
    for (const std::string program : {"part", "verify"}) allowed[program].insert("cli");
    // The one reader of a data set shares only the size arithmetic, the
    // integrity checks (manifests, CRC-32, content sums) and the
    // decompression with the generator; the SQL of its tables sits on it.
    allowed["dataset"] = {"sizes", "integrity", "compress"};
    allowed["schema"] = {"dataset", "sizes", "integrity", "compress"};
    // Publishing files into a folder under temporary names until all are whole.
    allowed["publish"] = {"integrity"};
    // qemverify reads a data set through the reader, and regenerates it with
    // the generator's own writers.
    allowed["verify"].insert({"dataset", "publish"});
    // The PostgreSQL client layer (libpq): the loader's and the workload's sessions.
    allowed["pg"] = {"dataset", "sizes", "integrity", "compress"};
    // The programs that read a data set: the loader (PostgreSQL) and the
    // export (delimited text) read it through the reader alone.
    allowed["load"] = {"pg", "dataset", "schema", "sizes", "integrity", "compress", "cli"};
    allowed["export"] = {"dataset", "schema", "publish", "sizes", "integrity", "compress", "cli"};
    // The programs' entry points are thin: each starts its program's folder
    // (and reads its command line with cli). The generator's two end with
    // the failure a run carries up (core/Failure.h).
    allowed["qemgen.cpp"] = {"run", "core"};
    allowed["qempart.cpp"] = {"part", "context", "core", "cli"};
    allowed["qemverify.cpp"] = {"verify", "cli"};
    allowed["qemload.cpp"] = {"load", "pg", "cli"};
    allowed["qemexport.cpp"] = {"export", "cli"};
    // The workload reads a data set through the reader, and runs against
    // PostgreSQL through the client layer.
    allowed["query"] = {"dataset", "schema", "publish", "pg", "sizes", "integrity", "compress", "cli"};
    allowed["qemquery.cpp"] = {"query"};
    return allowed;
}

std::vector<std::string> projectIncludes(const fs::path& file) {
    std::vector<std::string> includes;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("#include \"", 0) == 0) includes.push_back(line.substr(10, line.find('"', 10) - 10));
    return includes;
}

const fs::path src = fs::path(__FILE__).parent_path().parent_path() / "src";

}  // namespace

TEST(Layout, EveryFolderIsKnownAndIncludesOnlyWhatItMay) {
    const auto allowed = allowedIncludes();
    ASSERT_TRUE(fs::is_directory(src)) << src;
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(src)) {
        if (!entry.is_regular_file()) continue;
        const std::string own = fs::relative(entry.path(), src).begin()->string();
        const auto rule = allowed.find(own);
        if (rule == allowed.end()) {
            if (entry.path().extension() == ".txt") continue;  // CMakeLists.txt
            ADD_FAILURE() << own << " is not a folder or program file the layout knows";
            continue;
        }
        ++files;
        for (const std::string& target : projectIncludes(entry.path())) {
            const std::string folder = target.substr(0, target.find('/'));
            EXPECT_TRUE(folder == own || rule->second.count(folder))
                << fs::relative(entry.path(), src).string() << " includes \"" << target << "\"";
        }
    }
    EXPECT_GT(files, 90);
}

TEST(Layout, NoIncludeCycles) {
    std::map<std::string, std::vector<std::string>> edges;
    for (const auto& entry : fs::recursive_directory_iterator(src))
        if (entry.is_regular_file()) edges[fs::relative(entry.path(), src).string()] = projectIncludes(entry.path());
    // Depth first: a file met again while it is still on the path closes a cycle.
    std::map<std::string, int> state;  // 1 on the path, 2 done
    std::vector<std::string> path;
    std::function<void(const std::string&)> visit = [&](const std::string& file) {
        state[file] = 1;
        path.push_back(file);
        for (const std::string& target : edges[file]) {
            if (state[target] == 1) {
                std::string cycle;
                for (auto it = std::find(path.begin(), path.end(), target); it != path.end(); ++it) cycle += *it + " -> ";
                ADD_FAILURE() << "include cycle: " << cycle << target;
            } else if (state[target] == 0 && edges.count(target)) {
                visit(target);
            }
        }
        path.pop_back();
        state[file] = 2;
    };
    for (const auto& [file, includes] : edges)
        if (state[file] == 0) visit(file);
    EXPECT_GT(edges.size(), 90u);
}

// Only a program's main ends it: below main a failure is carried up (the
// generator's ReportedFailure, the loader's exceptions), so that every scope
// on the way cleans up and no thread is left running.
TEST(Layout, NothingBelowMainEndsTheProcess) {
    // Whether the line's code (before any "//") calls a function of that name.
    const auto calls = [](const std::string& line, const std::string& name) {
        const std::string code = line.substr(0, line.find("//"));
        const auto identifier = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
        for (size_t at = code.find(name); at != std::string::npos; at = code.find(name, at + 1)) {
            size_t after = at + name.size();
            while (after < code.size() && code[after] == ' ') ++after;
            if ((at == 0 || !identifier(code[at - 1])) && after < code.size() && code[after] == '(') return true;
        }
        return false;
    };
    for (const auto& entry : fs::recursive_directory_iterator(src)) {
        if (!entry.is_regular_file() || entry.path().parent_path() == src) continue;
        std::ifstream in(entry.path());
        int number = 0;
        for (std::string line; std::getline(in, line);) {
            ++number;
            for (const char* name : {"exit", "_exit", "_Exit", "quick_exit", "atexit", "at_quick_exit"})
                EXPECT_FALSE(calls(line, name)) << fs::relative(entry.path(), src).string() << ":" << number << ": " << line;
        }
    }
}
