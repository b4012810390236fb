#pragma once
// Small helpers shared by the tests: a scratch working directory, reading
// output files, formatting expected text and building the context. It also
// brings in the standard containers that most tests use.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "context/Context.h"

using namespace qem;

namespace qemtest {

// A fresh directory that is the current directory while the object lives;
// afterwards the previous directory is restored and the new one removed. It
// lies in memory (/dev/shm) where the system offers that, else under /tmp:
// some tests write a few hundred megabytes.
class TempDir {
public:
    TempDir() {
        char memory[] = "/dev/shm/qemtest.XXXXXX", disk[] = "/tmp/qemtest.XXXXXX";
        char* pattern = mkdtemp(memory) ? memory : disk;
        if (pattern == disk && !mkdtemp(disk)) throw std::runtime_error("mkdtemp failed");
        path = pattern;
        std::filesystem::current_path(path);
    }
    TempDir(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::current_path(previous, ignored);
        std::filesystem::remove_all(path, ignored);
    }

private:
    std::filesystem::path previous = std::filesystem::current_path(), path;
};

inline std::string readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Calls f with every line of the file, without its line end; stops after the
// first fatal assertion failure so that a broken file reports once.
template <typename F>
void forEachLine(const std::string& name, F f) {
    std::ifstream in(name, std::ios::binary);
    for (std::string line; !::testing::Test::HasFatalFailure() && std::getline(in, line);) f(line);
}

// printf-style formatting into a string.
template <typename... Args>
std::string formatted(const char* format, Args... args) {
    char text[512];
    snprintf(text, sizeof text, format, args...);
    return text;
}

// Fills the persisted parameters and runs the context initialisation, which
// builds the dimension model and the density pattern.
inline void setUpContext(int32_t channels, int32_t densityCode, int32_t seed) {
    context.state = GeneratorState{channels, 10, densityCode, 1, seed, 1};
    initContext();
}

// The text of the message exception thrown by f, or "" when f throws none.
template <typename F>
std::string thrownText(F f) {
    try {
        f();
    } catch (const TextException& e) {
        return e.what();
    }
    return "";
}

}  // namespace qemtest
