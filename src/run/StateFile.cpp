#include "run/StateFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Failure.h"
#include "core/Report.h"
#include "core/StableStorage.h"

namespace qem {

const char* const stateFileName = "qem1r2genstate";
const char* const stateSideFileName = "qem1r2genstate.new";

namespace {

constexpr size_t stateSize = 24;

void encodeState(const GeneratorState& s, unsigned char out[stateSize]) {
    const int32_t fields[6] = {s.channelCount, s.userCount, s.densityCode, s.validMark, s.seed, s.phase};
    for (int f = 0; f < 6; ++f) {
        const uint32_t v = static_cast<uint32_t>(fields[f]);
        for (int b = 0; b < 4; ++b) out[4 * f + b] = static_cast<unsigned char>(v >> (8 * b));
    }
}

GeneratorState decodeState(const unsigned char in[stateSize]) {
    int32_t fields[6];
    for (int f = 0; f < 6; ++f) {
        uint32_t v = 0;
        for (int b = 0; b < 4; ++b) v |= static_cast<uint32_t>(in[4 * f + b]) << (8 * b);
        fields[f] = static_cast<int32_t>(v);
    }
    return GeneratorState{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]};
}

// Reads up to length bytes; returns how many, or -1 with errno set.
ssize_t readFully(int fd, unsigned char* to, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t n = read(fd, to + got, length - got);
        if (n == 0) break;
        if (n < 0 && errno != EINTR) return -1;
        if (n > 0) got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

bool readState(GeneratorState& state) {
    // Not blocking: a named pipe in the state's place reads as a short file
    // instead of holding the run.
    const int fd = open(stateFileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        failFile("error reading '%s'\n%s\n", stateFileName, errno);
    }
    unsigned char bytes[stateSize];
    const ssize_t got = readFully(fd, bytes, stateSize);
    const int error = errno;
    close(fd);
    if (got < 0) failFile("error reading '%s'\n%s\n", stateFileName, error);
    if (static_cast<size_t>(got) != stateSize) {
        reportError("error reading QEM-1 generator status from disk!");
        throw ReportedFailure(1);
    }
    state = decodeState(bytes);
    return true;
}

void saveState() {
    unsigned char bytes[stateSize];
    encodeState(context.state, bytes);
    replaceFile(stateFileName, stateSideFileName, bytes, stateSize, "error writing to '%s'\n%s\n");
}

void removeState() {
    syncFolderOrFail();
    // A state left behind would make the next run repeat this phase instead
    // of starting a new data set: a failed removal is a failed write.
    const int error = stableStorage().removeFile(stateFileName);
    if (error != 0 && error != ENOENT) failFile("error writing '%s'\n%s\n", stateFileName, error);
    syncFolderOrFail();
}

}  // namespace qem
