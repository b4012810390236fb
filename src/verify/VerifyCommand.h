#pragma once
#include <cstdint>
#include <set>
#include <string>

namespace qem {

// qemverify's command line:
//
//   qemverify [--regenerate] [--phases 1,2,3] [--part K] [--join DEST [--compress zstd[:LEVEL]]] [DIR]
//
// (read as every program's command line is, cli/CommandLine.h). DIR, default
// the current folder, holds the data set: whole files with phaseN.manifest
// (qemgen), or parts NAME.partKKKK (or NAME.partKKKK.zst, compressed) with
// phaseN.manifest.partKKKK (qempart).
struct VerifyCommand {
    std::string folder = ".";
    std::set<int32_t> phases{1, 2, 3};
    int32_t part = 0;  // 0: every part; K: only part K's files and manifests
    bool regenerate = false;
    // --join DEST: the files read are written whole into DEST (compressed
    // with zstd at joinZstdLevel when it is not 0) with a manifest of each
    // phase, published there only when everything holds.
    std::string join;
    int joinZstdLevel = 0;
    bool help = false;     // --help: print the usage and do nothing else
    bool version = false;  // --version: print the program's version and do nothing else
};

// Parses the arguments; on a fault returns false with the message (no line
// end) in `error` (the program then ends with status 2). --regenerate needs
// every part of a file, so it is refused with --part.
bool parseVerifyCommand(int argc, const char* const argv[], VerifyCommand& command, std::string& error);

// The usage text, for --help and after an error.
extern const char* const verifyUsage;

}  // namespace qem
