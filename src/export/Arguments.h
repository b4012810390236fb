#pragma once
#include <string>
#include <vector>

#include "export/Exporter.h"

namespace qemexport {

// The command line: qemexport [--format csv|tsv] [--compress zstd[:LEVEL]] [--jobs N] FOLDER OUTDIR
struct Arguments {
    ExportOptions options;
    bool help = false;     // --help: print the usage and do nothing else
    bool version = false;  // --version: print the program's version and do nothing else
    std::string error;  // a usage error, or ""
};

Arguments parseArguments(const std::vector<std::string>& args);

extern const char* const usageText;

}  // namespace qemexport
