#pragma once
#include <string>
#include <vector>

#include "load/Loader.h"

namespace qemload {

// The command line: qemload [--schema NAME] [--replace] [--users U] [--jobs N] [--sort-memory MB]
// [--sort-limit MB] CONNINFO [FOLDER]
struct Arguments {
    LoadOptions options;
    bool help = false;     // --help: print the usage and do nothing else
    bool version = false;  // --version: print the program's version and do nothing else
    std::string error;  // a usage error, or ""
};

Arguments parseArguments(const std::vector<std::string>& args);

extern const char* const usageText;

}  // namespace qemload
