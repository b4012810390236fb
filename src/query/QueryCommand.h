#pragma once

namespace qemquery {

// qemquery's commands (docs/queries.md):
//
//   qemquery sql [--user N] [--dialect postgresql|sqlite] [--schema NAME] DATA
//   qemquery answers [--share K/S] [--out FILE] [--jobs N] DATA
//   qemquery answers --add [--out FILE] PARTIAL...
//   qemquery run [--schema NAME] [--users U] [--passes P | --duration SECONDS] [--limit N]
//                [--check ANSWERS] [--timings FILE.csv] CONNINFO DATA
//
// Returns the exit status: 0 done, 1 refused or failed (the fault on
// standard error), 2 a bad command line.
int queryMain(int argc, const char* const argv[]);

}  // namespace qemquery
