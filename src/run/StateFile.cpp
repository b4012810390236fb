#include "run/StateFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/Report.h"
#include "core/StableStorage.h"

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

[[noreturn]] void fail(const char* format, const char* name, int error) {
    reportError(format, name, strerror(error));
    exit(1);
}

// Synchronises the folder's entries; a failure ends the program.
void syncFolderOrFail() {
    if (const int error = syncFolder()) fail("error writing '%s'\n%s\n", ".", error);
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

// Writes the whole text; 0 or an error number.
int writeFully(int fd, const unsigned char* from, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, from, length);
        if (n < 0 && errno != EINTR) return errno;
        if (n > 0) {
            from += n;
            length -= static_cast<size_t>(n);
        }
    }
    return 0;
}

}  // namespace

bool readState(GeneratorState& state) {
    // Not blocking: a named pipe in the state's place reads as a short file
    // instead of holding the run.
    const int fd = open(stateFileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        fail("error reading '%s'\n%s\n", stateFileName, errno);
    }
    unsigned char bytes[stateSize];
    const ssize_t got = readFully(fd, bytes, stateSize);
    const int error = errno;
    close(fd);
    if (got < 0) fail("error reading '%s'\n%s\n", stateFileName, error);
    if (static_cast<size_t>(got) != stateSize) {
        reportError("error reading QEM-1 generator status from disk!");
        exit(1);
    }
    state = decodeState(bytes);
    return true;
}

void saveState() {
    StableStorage& storage = stableStorage();
    syncFolderOrFail();
    // A side file left by an earlier run goes first (a symbolic link is
    // removed, never followed); the new one is created afresh, so nothing but
    // a file of this run's making becomes the state.
    const int stale = storage.removeFile(stateSideFileName);
    if (stale != 0 && stale != ENOENT) fail("error opening '%s'\n%s\n", stateSideFileName, stale);
    const int fd = open(stateSideFileName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) fail("error opening '%s'\n%s\n", stateSideFileName, errno);
    unsigned char bytes[stateSize];
    encodeState(context.state, bytes);
    int error = writeFully(fd, bytes, stateSize);
    if (error == 0) error = syncOpenFile(fd, stateSideFileName, true);
    if (close(fd) != 0 && error == 0) error = errno;
    const char* failed = stateSideFileName;
    if (error == 0) {
        error = storage.renameFile(stateSideFileName, stateFileName);
        failed = stateFileName;
    }
    if (error != 0) {
        storage.removeFile(stateSideFileName);
        fail("error writing to '%s'\n%s\n", failed, error);
    }
    syncFolderOrFail();
}

void removeState() {
    syncFolderOrFail();
    // A state left behind would make the next run repeat this phase instead
    // of starting a new data set: a failed removal is a failed write.
    const int error = stableStorage().removeFile(stateFileName);
    if (error != 0 && error != ENOENT) fail("error writing '%s'\n%s\n", stateFileName, error);
    syncFolderOrFail();
}
