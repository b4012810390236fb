#include "dataset/DataFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "integrity/Crc32.h"
#include "dataset/DataSetError.h"
#ifdef QEM_HAVE_ZSTD
#include "compress/Zstd.h"
#endif

namespace qemdata {

namespace fs = std::filesystem;

namespace {

// Compressed bytes read at a time: the text they decompress to waits in
// memory until it is taken, a few MB at most.
constexpr size_t compressedPiece = 64u << 10;

std::string systemText() { return strerror(errno); }

std::string fileNameOf(const std::string& path) { return fs::path(path).filename().string(); }

}  // namespace

DataFile::DataFile(std::string name, std::vector<Part> parts, bool parted)
    : fileName(std::move(name)), fileParts(std::move(parts)), inParts(parted) {
    for (Part& p : fileParts) {
        p.offset = totalSize;
        totalSize += p.size;
    }
}

std::string DataFile::storedName(size_t k) const { return fileNameOf(fileParts.at(k).path); }

bool DataFile::canDecompress() {
#ifdef QEM_HAVE_ZSTD
    return true;
#else
    return false;
#endif
}

bool DataFile::anyCompressed() const {
    for (const Part& p : fileParts)
        if (p.compressed) return true;
    return false;
}

void DataFile::read(uint64_t offset, char* out, size_t length, const CompressedRead& whole) const {
    Reader reader(*this, offset, whole);
    reader.read(out, length);
}

struct DataFile::Reader::Decoding {
#ifdef QEM_HAVE_ZSTD
    qem::ZstdDecoder decoder;
#endif
    int fd = -1;
    qem::Crc32 crc;              // of the compressed bytes
    uint64_t compressedBytes = 0;
    uint64_t produced = 0;       // text out of the decoder
    uint64_t consumed = 0;       // text handed on or passed over
    std::vector<char> pending;   // text out of the decoder, not yet taken
    size_t pendingAt = 0;
    std::vector<char> input = std::vector<char>(compressedPiece);
    bool ended = false;
    ~Decoding() {
        if (fd >= 0) ::close(fd);
    }
};

DataFile::Reader::Reader(const DataFile& f, uint64_t offset, CompressedRead w)
    : file(f), whole(std::move(w)), position(offset) {
    // From 0, the empty files that come first are this reader's to check.
    if (offset > 0)
        while (current < file.fileParts.size() &&
               file.fileParts[current].offset + file.fileParts[current].size <= offset)
            ++current;
}

DataFile::Reader::~Reader() { close(); }

void DataFile::Reader::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    decoder.reset();
}

void DataFile::Reader::read(char* out, size_t length) {
    for (;;) {
        finishPassed();
        if (length == 0) return;
        if (current == file.fileParts.size())
            throw DataSetError(file.fileName + ": ends early (the file changed while loading?)");
        const Part& p = file.fileParts[current];
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, p.offset + p.size - position));
        if (p.compressed)
            readCompressed(out, n);
        else
            readPlain(out, n);
        out += n;
        length -= n;
        position += n;
    }
}

// Every stored file that ends where the reader is: a compressed one read to
// its end and checked.
void DataFile::Reader::finishPassed() {
    while (current < file.fileParts.size() &&
           file.fileParts[current].offset + file.fileParts[current].size <= position) {
        const Part& p = file.fileParts[current];
        if (p.compressed) {
            Decoding& d = decoding();
            while (decodeMore(d)) {
            }
            if (d.produced < p.size)
                throw DataSetError(fileNameOf(p.path) + ": decompresses to only " + std::to_string(d.produced) +
                                " bytes of text (" + p.sizeSource + ")");
            if (whole) whole(file, current, d.compressedBytes, d.crc.value());
        }
        close();
        ++current;
    }
}

void DataFile::Reader::readPlain(char* out, size_t length) {
    const Part& p = file.fileParts[current];
    if (fd < 0) {
        fd = open(p.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw DataSetError("cannot open '" + p.path + "': " + systemText());
    }
    uint64_t within = position - p.offset;
    while (length > 0) {
        const ssize_t got = pread(fd, out, length, static_cast<off_t>(within));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0)
            throw DataSetError("cannot read '" + p.path +
                            "': " + (got < 0 ? systemText() : "file is shorter than when the load started"));
        out += got;
        within += static_cast<uint64_t>(got);
        length -= static_cast<size_t>(got);
    }
}

DataFile::Reader::Decoding& DataFile::Reader::decoding() {
    if (decoder) return *decoder;
    const Part& p = file.fileParts[current];
#ifndef QEM_HAVE_ZSTD
    throw DataSetError(fileNameOf(p.path) + ": a compressed file, and this qemload was built without Zstandard " +
                    "(install libzstd-dev and build again)");
#else
    auto d = std::make_unique<Decoding>();
    d->fd = open(p.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (d->fd < 0) throw DataSetError("cannot open '" + p.path + "': " + systemText());
    decoder = std::move(d);
    return *decoder;
#endif
}

// Reads and decompresses the next compressed bytes; false at the end of
// the compressed file (whose last frame must be whole).
bool DataFile::Reader::decodeMore(Decoding& d) {
    const Part& p = file.fileParts[current];
    if (d.pendingAt == d.pending.size()) {
        d.pending.clear();
        d.pendingAt = 0;
    }
    if (d.ended) return false;
    ssize_t got;
    do got = ::read(d.fd, d.input.data(), d.input.size());
    while (got < 0 && errno == EINTR);
    if (got < 0) throw DataSetError("cannot read '" + p.path + "': " + systemText());
#ifdef QEM_HAVE_ZSTD
    if (got == 0) {
        d.ended = true;
        if (const std::string fault = d.decoder.finish(); !fault.empty()) throw DataSetError(fileNameOf(p.path) + ": " + fault);
        return false;
    }
    d.crc.add(d.input.data(), static_cast<size_t>(got));
    d.compressedBytes += static_cast<uint64_t>(got);
    const std::string fault = d.decoder.decode(d.input.data(), static_cast<size_t>(got), [&](const char* text, size_t n) {
        d.pending.insert(d.pending.end(), text, text + n);
        d.produced += n;
        return 0;
    });
    if (!fault.empty()) throw DataSetError(fileNameOf(p.path) + ": " + fault);
    if (d.produced > p.size)
        throw DataSetError(fileNameOf(p.path) + ": decompresses to more than " + std::to_string(p.size) + " bytes of text (" +
                        p.sizeSource + ")");
#endif
    return true;
}

void DataFile::Reader::readCompressed(char* out, size_t length) {
    Decoding& d = decoding();
    const Part& p = file.fileParts[current];
    const uint64_t within = position - p.offset;
    // A compressed file is read from its start: the text before the
    // reader's place is passed over.
    while (d.consumed < within || length > 0) {
        if (d.pendingAt == d.pending.size() && !decodeMore(d))
            throw DataSetError(fileNameOf(p.path) + ": decompresses to only " + std::to_string(d.produced) +
                            " bytes of text (" + p.sizeSource + ")");
        const size_t available = d.pending.size() - d.pendingAt;
        if (available == 0) continue;  // a step of the decoder that gave no text yet
        if (d.consumed < within) {
            const size_t pass = static_cast<size_t>(std::min<uint64_t>(available, within - d.consumed));
            d.pendingAt += pass;
            d.consumed += pass;
            continue;
        }
        const size_t take = std::min(available, length);
        memcpy(out, d.pending.data() + d.pendingAt, take);
        d.pendingAt += take;
        d.consumed += take;
        out += take;
        length -= take;
    }
}

std::string DataFile::where(uint64_t offset, uint64_t line) const {
    std::string text = fileName + " line " + std::to_string(line);
    if (!inParts) return text;
    for (const auto& part : fileParts)
        if (offset >= part.offset && offset < part.offset + part.size)
            text += " (in " + fs::path(part.path).filename().string() + ")";
    return text;
}

}  // namespace qemdata
