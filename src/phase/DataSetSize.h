#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qem {

// The output files of a data set and their sizes, computed from the
// parameters in the context and its density pattern: the records of each
// file's writers, as the phase's file list gives them. Every line of a file
// has the same length, so a file is its line count times its line length.
struct FileSize {
    uint64_t lines = 0;
    uint64_t lineLength = 0;  // line end included
    uint64_t bytes() const { return lines * lineLength; }
};

// The name of file `index` of a phase (0 .. phaseFileCount(phase) - 1).
std::string phaseFileName(int32_t phase, int64_t index);

// The size of the data set's file `name`; nothing for a name that is not one
// of the data set's files.
std::optional<FileSize> expectedFileSize(std::string_view name);

// The bytes that the files of a phase take together.
uint64_t expectedPhaseBytes(int32_t phase);

}  // namespace qem
