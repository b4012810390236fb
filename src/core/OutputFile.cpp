#include "core/OutputFile.h"

#include <cerrno>
#include <cstring>

#include "core/Failure.h"
#include "core/Report.h"
#include "core/StableStorage.h"

namespace qem {

OutputFile::OutputFile(const char* name) : fileName(name), stream(fopen(name, "w")) {
    if (!stream) {
        const int err = errno;
        reportError("error opening '%s'\n%s\n", name, strerror(err));
        throw TextException("cannot continue");
    }
}

OutputFile::~OutputFile() {
    if (stream) fclose(stream);
}

void OutputFile::failWrite(int error, const char* failureText) const {
    reportError("error writing '%s'\n%s\n", fileName.c_str(), strerror(error));
    throw TextException(failureText);
}

void OutputFile::write(const char* text, size_t length, uint64_t lines, const char* failureText) {
    if (length == 0) return;
    if (fwrite(text, 1, length, stream) != length) failWrite(errno, failureText);
    writtenBytes.fetch_add(length, std::memory_order_relaxed);
    writtenLines.fetch_add(lines, std::memory_order_relaxed);
    if (watcher) watcher->written(text, length);
}

void OutputFile::close() {
    const bool failed = ferror(stream) != 0;
    // The stream's rest reaches the file before the file is synchronised.
    int error = fflush(stream) == 0 ? 0 : errno;
    if (!failed && error == 0) error = syncOpenFile(fileno(stream), name());
    errno = 0;
    if (fclose(stream) != 0 && error == 0) error = errno ? errno : EIO;
    stream = nullptr;
    if (failed || error != 0) failWrite(error ? error : EIO, "Oops");
}

}  // namespace qem
