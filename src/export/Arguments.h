#pragma once
#include <string>
#include <vector>

#include "export/Exporter.h"
#include "load/ProgramSupport.h"

namespace qemexport {

// Command-line numbers and interrupts are handled as qemload handles them.
using qemload::parseCount;
using qemload::scanOptions;
using qemload::stopOnFirstInterrupt;
using qemload::TakeValue;

// The command line: qemexport [--format csv|tsv] [--compress zstd[:LEVEL]] [--jobs N] FOLDER OUTDIR
struct Arguments {
    ExportOptions options;
    bool help = false;
    std::string error;  // a usage error, or ""
};

Arguments parseArguments(const std::vector<std::string>& args);

extern const char* const usageText;

}  // namespace qemexport
