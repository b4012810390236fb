#include "run/DataSetSize.h"

#include <cstdio>
#include <vector>

#include "context/Context.h"
#include "queries/QueryWriter.h"
#include "run/PartFiles.h"

namespace {

// A file of phase 1 or 2: the records of its writers, each a line.
FileSize sizeOf(const PhaseFile& f) {
    uint64_t lines = 0;
    for (const int64_t records : f.split.writerRecords) lines += static_cast<uint64_t>(records);
    return {lines, static_cast<uint64_t>(f.split.lineLength)};
}

FileSize querySize() { return {static_cast<uint64_t>(queryFileLines()), QueryWriter::lineLength}; }

// The user whose query file `name` is, or 0.
int64_t queryUser(std::string_view name) {
    constexpr std::string_view prefix = "qry", suffix = ".qem";
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix)) return 0;
    int64_t user = 0;
    for (const char c : name.substr(prefix.size(), name.size() - prefix.size() - suffix.size())) {
        if (c < '0' || c > '9' || user > context.state.userCount) return 0;
        user = user * 10 + (c - '0');
    }
    // Only the name the program gives the user (no other count of leading zeros).
    return user >= 1 && user <= context.state.userCount && queryFileName(user) == name ? user : 0;
}

}  // namespace

std::string queryFileName(int64_t user) {
    char name[32];
    snprintf(name, sizeof name, "qry%3.3ld.qem", static_cast<long>(user));
    return name;
}

int64_t queryFileLines() { return dataSetShape().queryFileLines(); }

int64_t phaseFileCount(int32_t phase) {
    if (phase == 3) return context.state.userCount;
    return static_cast<int64_t>(phaseFiles(phase).size());
}

std::string phaseFileName(int32_t phase, int64_t index) {
    if (phase == 3) return queryFileName(index + 1);
    const std::vector<PhaseFile> files = phaseFiles(phase);
    return index >= 0 && index < static_cast<int64_t>(files.size()) ? files[static_cast<size_t>(index)].name
                                                                      : std::string{};
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
