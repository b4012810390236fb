#include "phase/DataSetSize.h"

#include <vector>

#include "context/Context.h"
#include "phase/PhaseFiles.h"
#include "queries/QueryWriter.h"

namespace qem {

namespace {

// A file of phase 1 or 2: the records of its writers, each a line.
FileSize sizeOf(const PhaseFile& f) {
    uint64_t lines = 0;
    for (const int64_t records : f.split.writerRecords) lines += static_cast<uint64_t>(records);
    return {lines, static_cast<uint64_t>(f.split.lineLength)};
}

FileSize querySize() { return {static_cast<uint64_t>(dataSetShape().queryFileLines()), QueryWriter::lineLength}; }

// The user of this data set whose query file `name` is, or 0.
int64_t queryUser(std::string_view name) {
    const int64_t user = queryFileUser(name);
    return user <= context.state.userCount ? user : 0;
}

}  // namespace

std::string phaseFileName(int32_t phase, int64_t index) {
    if (index < 0 || index >= phaseFileCount(phase)) return {};
    return phase == 3 ? queryFileName(index + 1) : phaseFile(phase, index).name;
}

std::optional<FileSize> expectedFileSize(std::string_view name) {
    for (const int32_t phase : {1, 2})
        for (const PhaseFile& f : phaseFiles(phase))
            if (name == f.name) return sizeOf(f);
    if (queryUser(name) > 0) return querySize();
    return std::nullopt;
}

uint64_t expectedPhaseBytes(int32_t phase) {
    if (phase == 3) return static_cast<uint64_t>(context.state.userCount) * querySize().bytes();
    uint64_t bytes = 0;
    for (const PhaseFile& f : phaseFiles(phase)) bytes += sizeOf(f).bytes();
    return bytes;
}

}  // namespace qem
