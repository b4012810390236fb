#pragma once
// Known answers: digests of output files recorded from a reviewed version of
// the generator (tests/data/known-answers.txt). A file is compared as its
// bytes, or, where four threads append to it in an order that varies, as its
// lines in sorted order. Besides the file's digest the table keeps a short
// digest of each of up to 64 runs of consecutive lines, so a mismatch names
// the first run of lines that differs.
//
// To record new answers after an intended change of output, run the tests
// with QEM_RECORD_KNOWN_ANSWERS=<file>: each case then appends its lines to
// that file instead of comparing, and the lines replace the case's lines in
// the table.
#include <string>

namespace qemtest {

enum class LineOrder { asWritten, sorted };

// Checks (or records) the file `name` in the current directory against the
// known answer of `caseName`; failures are reported as test failures.
void expectKnownAnswer(const std::string& caseName, const std::string& name, LineOrder order);

// Checks that the current directory holds exactly the files that the table
// lists for caseName (nothing to do while recording).
void expectKnownFileSet(const std::string& caseName);

}  // namespace qemtest
