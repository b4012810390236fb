#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The output files of a data set and their sizes, computed from the
// parameters and the model in the context (initialised): the records of each
// file's writers, as qempart splits them. Every line of a file has the same
// length, so a file is its line count times its line length.
struct FileSize {
    uint64_t lines = 0;
    uint64_t lineLength = 0;  // line end included
    uint64_t bytes() const { return lines * lineLength; }
};

// The name of user u's query file, "qry%3.3ld.qem": qry001.qem ... qry999.qem, qry1000.qem ...
std::string queryFileName(int64_t user);

// The lines of every user's query file.
int64_t queryFileLines();

// The files that phase 1, 2 or 3 writes, in writing order (phase 3: one per
// user); index runs from 0 to phaseFileCount(phase) - 1.
int64_t phaseFileCount(int32_t phase);
std::string phaseFileName(int32_t phase, int64_t index);

// The size of the data set's file `name`; nothing for a name that is not one
// of the data set's files.
std::optional<FileSize> expectedFileSize(std::string_view name);

// The bytes that the files of a phase take together.
uint64_t expectedPhaseBytes(int32_t phase);
