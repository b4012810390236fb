#pragma once
#include <string>

#include "part/PartRun.h"

namespace qem {

// qempart's command line:
//
//   qempart --channels N --density PCT --users U --seed S --phase 1|2|3
//           --parts P --part K [--out DIR]
//   qempart --sizes --channels N --density PCT --users U
//
// (read as every program's command line is, cli/CommandLine.h). The answers
// take the dialogue's limits: channels 10 to 2147483, density 0.1 to 40 (its
// code by the dialogue's rule), users at least 10; the seed any 32-bit
// integer, -2147483648 to 4294967295 (from 2147483648 on taken modulo 2^32,
// as a clock in seconds is stored); parts 1 to 9999, part 1 to P. DIR
// (default: the current folder) must be a folder this process may write to.
// With --sizes only the answers are needed (the others are checked where
// given): nothing is written, and the bytes of each phase's files are printed.
struct PartCommand {
    PartRequest request;
    std::string folder = ".";
    bool help = false;     // --help: print the usage and do nothing else
    bool version = false;  // --version: print the program's version and do nothing else
    bool sizes = false;    // --sizes: print the phases' sizes and do nothing else
};

// Parses and checks the arguments; on a fault returns false with the message
// (no line end) in `error` (the program then ends with status 2).
bool parsePartCommand(int argc, const char* const argv[], PartCommand& command, std::string& error);

// The usage text, for --help and after an error.
extern const char* const partUsage;

}  // namespace qem
