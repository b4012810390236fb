#include "core/OutputFile.h"

#include <cerrno>
#include <cstring>

#include "core/Failure.h"
#include "core/Report.h"
#include "core/StableStorage.h"
#include "integrity/ContentSum.h"
#include "integrity/Crc32.h"

namespace qem {

OutputFile::OutputFile(const char* name) : fileName(name), stream(fopen(name, "w")) {
    if (!stream) {
        const int err = errno;
        reportError("error opening '%s'\n%s\n", name, strerror(err));
        throw TextException("cannot continue");
    }
}

OutputFile::OutputFile(const char* name, CountOnly, LineHash h) : fileName(name), stream(nullptr), hash(h) {}

OutputFile::~OutputFile() {
    if (stream) fclose(stream);
}

void OutputFile::failWrite(int error, const char* failureText) const {
    reportError("error writing '%s'\n%s\n", fileName.c_str(), strerror(error));
    throw TextException(failureText);
}

void OutputFile::write(const char* text, size_t length, uint64_t lines, uint32_t crc, uint64_t contentSum,
                       const char* failureText) {
    if (length == 0) return;
    const std::lock_guard<std::mutex> guard(order);
    if (encoder) {
        if (const int error = encoder->encode(text, length, putEncoded)) failWrite(error, failureText);
    } else if (stream && fwrite(text, 1, length, stream) != length) {
        failWrite(errno, failureText);
    }
    fileCrc = Crc32::combine(fileCrc, crc, length);
    fileSum += contentSum;
    writtenBytes.fetch_add(length, std::memory_order_relaxed);
    writtenLines.fetch_add(lines, std::memory_order_relaxed);
}

void OutputFile::write(const char* text, size_t length, uint64_t lines, const char* failureText) {
    Crc32 crc;
    crc.add(text, length);
    write(text, length, lines, crc.value(), contentSumOf(text, length, blankColumnsOf(fileName), hash),
          failureText);
}

void OutputFile::setEncoder(std::unique_ptr<Encoder> e) {
    encoder = std::move(e);
    putEncoded = [this](const char* bytes, size_t length) {
        if (stream && fwrite(bytes, 1, length, stream) != length) return errno ? errno : EIO;
        encodedCrc.add(bytes, length);
        fileEncodedBytes += length;
        return 0;
    };
}

void OutputFile::close() {
    if (!stream) return;
    if (encoder)
        if (const int error = encoder->finish(putEncoded)) failWrite(error, "Oops");
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
