#include "verify/FileReading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#ifdef QEM_HAVE_ZSTD
#include "compress/Zstd.h"
#endif
#include "integrity/ContentSum.h"
#include "integrity/Crc32.h"

namespace qem {

namespace {

// The bytes of one piece: small enough that a piece read is still in the
// processor's cache when its lines are hashed after its CRC-32. Pieces are
// read (pread) into a buffer of the thread's: mapping the files instead took
// 3.6 times the processor time on the development machine (a virtual
// machine, where every page fault is costly).
constexpr int64_t pieceBytes = 1 << 20;
// Read beyond a piece's end with it, so that its last line is complete
// without a second read (every line of a data set is far shorter).
constexpr int64_t tailRoom = 4096;

// A piece of a plain file, or (whole) a compressed file.
struct Piece {
    size_t file;
    int64_t first, end;
};

// The figures of the bytes [first, end) of a file (CRC-32) and of the lines
// that start there (count, content sum).
struct PieceFigures {
    uint32_t crc = 0;
    uint64_t sum = 0;
    int64_t lines = 0;
    bool overlong = false;
    int error = 0;       // an errno value
    bool shrunk = false;  // the file ended before the size it had when listed
};

// Reads up to `length` bytes at `offset`; returns the bytes read (fewer only
// at the file's end) or -1 with errno set.
ssize_t readAt(int fd, char* into, size_t length, int64_t offset) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = pread(fd, into + done, length - done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// The figures of a text handed over in blocks that may end anywhere (as a
// decoder hands them over): bytes, CRC-32, lines and content sum. A line
// followed by 16 bytes of its block is hashed where it is; the others (a
// block's last lines, and a line that runs on into the next block) are
// gathered in a line of their own, which has room for the hash's reading
// past the line.
class TextFigures {
public:
    TextFigures(BlankColumns blank, LineHash hash) : blank(blank), hash(hash), line(new char[longestLine + 16]()) {}

    void add(const char* text, size_t length) {
        crc.add(text, length);
        figures.bytes += static_cast<int64_t>(length);
        const char* p = text;
        const char* const end = text + length;
        if (held > 0 || skipping) p = carryOn(p, end);
        while (p < end) {
            const void* found = memchr(p, '\n', static_cast<size_t>(end - p));
            if (!found) break;
            const char* const next = static_cast<const char*>(found) + 1;
            if (end - next < 16) break;
            figures.sum += lineHashWithSlack(p, static_cast<size_t>(next - p), blank, hash);
            ++figures.lines;
            p = next;
        }
        while (p < end) p = carryOn(p, end);
    }

    // After the last block: a last line without its line end counts too.
    FileFigures finish() {
        if (held > 0) {
            figures.sum += lineHashWithSlack(line.get(), held, blank, hash);
            ++figures.lines;
            held = 0;
        }
        figures.crc = crc.value();
        return figures;
    }

private:
    // Adds the bytes up to the next line end (or to `end`) to the line
    // gathered; a line completed is counted and hashed. A line longer than
    // any of a data set is counted, marked and passed over. Returns where it
    // stopped.
    const char* carryOn(const char* p, const char* end) {
        const void* found = memchr(p, '\n', static_cast<size_t>(end - p));
        const char* const stop = found ? static_cast<const char*>(found) + 1 : end;
        const size_t n = static_cast<size_t>(stop - p);
        if (!skipping && held + n > static_cast<size_t>(longestLine)) {
            figures.overlongLine = true;
            ++figures.lines;
            skipping = true;
            held = 0;
        }
        if (skipping) {
            skipping = !found;
            return stop;
        }
        memcpy(line.get() + held, p, n);
        held += n;
        if (found) {
            figures.sum += lineHashWithSlack(line.get(), held, blank, hash);
            ++figures.lines;
            held = 0;
        }
        return stop;
    }

    const BlankColumns blank;
    const LineHash hash;
    std::unique_ptr<char[]> line;  // a line gathered across blocks, and 16 bytes after it
    size_t held = 0;
    bool skipping = false;  // within an overlong line
    Crc32 crc;
    FileFigures figures;
};

class Reader {
public:
    Reader(int folder, const std::vector<FileToRead>& files, const std::vector<int64_t>& sizes,
           const std::vector<Piece>& pieces, std::vector<FileFigures>& compressed, std::atomic<uint64_t>& bytesRead)
        : folder(folder),
          files(files),
          sizes(sizes),
          pieces(pieces),
          figures(pieces.size()),
          compressed(compressed),
          bytesRead(bytesRead) {}

    // One thread's loop: the next piece not yet taken, until none is left.
    void work() {
        // Room for the byte before a piece, the piece, its last line at its
        // longest, and the 16 bytes that a line's hash reads past its end.
        std::unique_ptr<char[]> buffer(new char[1 + pieceBytes + longestLine + 1 + 16]());
        int fd = -1, openError = 0;
        size_t openFile = SIZE_MAX;
        for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < pieces.size();) {
            const Piece& piece = pieces[i];
            if (files[piece.file].compressed) {
                readCompressed(piece.file, buffer.get(), compressed[piece.file]);
                continue;
            }
            if (piece.file != openFile) {
                if (fd >= 0) close(fd);
                openFile = piece.file;
                fd = openat(folder, files[piece.file].name.c_str(), O_RDONLY | O_CLOEXEC);
                openError = fd < 0 ? errno : 0;
            }
            if (fd < 0)
                figures[i].error = openError;
            else
                readPiece(fd, piece, buffer.get(), figures[i]);
            bytesRead.fetch_add(static_cast<uint64_t>(piece.end - piece.first), std::memory_order_relaxed);
        }
        if (fd >= 0) close(fd);
    }

    const std::vector<PieceFigures>& results() const { return figures; }

private:
    // A compressed file from start to end: its bytes read a piece at a time
    // into `buffer`, their CRC-32 taken and the text that comes out of the
    // decoder measured. After a fault in the data the rest is still read,
    // for the file's bytes and CRC-32.
    void readCompressed(size_t file, char* buffer, FileFigures& out) {
        const int fd = openat(folder, files[file].name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            out.error = strerror(errno);
            return;
        }
        TextFigures text(blankColumnsOf(files[file].name), files[file].lineHash);
#ifdef QEM_HAVE_ZSTD
        ZstdDecoder decoder;
        const ByteSink measure = [&](const char* bytes, size_t length) {
            text.add(bytes, length);
            bytesRead.fetch_add(length, std::memory_order_relaxed);
            return 0;
        };
#else
        out.decodeError = "this qemverify was built without Zstandard (libzstd): compressed files cannot be read";
#endif
        Crc32 crc;
        for (;;) {
            const ssize_t n = read(fd, buffer, static_cast<size_t>(pieceBytes));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                out.error = strerror(errno);
                break;
            }
            if (n == 0) break;
            crc.add(buffer, static_cast<size_t>(n));
            out.compressedBytes += n;
#ifdef QEM_HAVE_ZSTD
            if (out.decodeError.empty()) out.decodeError = decoder.decode(buffer, static_cast<size_t>(n), measure);
#endif
        }
        close(fd);
#ifdef QEM_HAVE_ZSTD
        if (out.decodeError.empty()) out.decodeError = decoder.finish();
#endif
        out.compressedCrc = crc.value();
        const FileFigures figures = text.finish();
        out.bytes = figures.bytes;
        out.lines = figures.lines;
        out.crc = figures.crc;
        out.sum = figures.sum;
        out.overlongLine = figures.overlongLine;
    }

    void readPiece(int fd, const Piece& piece, char* buffer, PieceFigures& out) const {
        const int64_t size = sizes[piece.file];
        // The byte before the piece tells whether a line starts at its first byte.
        const int64_t start = piece.first > 0 ? piece.first - 1 : 0;
        const size_t lead = static_cast<size_t>(piece.first - start), length = static_cast<size_t>(piece.end - piece.first);
        size_t held = 0;  // bytes of the buffer read, from `start`
        // Reads until the buffer holds `wanted` bytes or the file's end.
        const auto fill = [&](size_t wanted) {
            wanted = std::min<size_t>(wanted, static_cast<size_t>(size - start));
            if (wanted <= held) return true;
            const ssize_t n = readAt(fd, buffer + held, wanted - held, start + static_cast<int64_t>(held));
            if (n < 0) {
                out.error = errno;
                return false;
            }
            held += static_cast<size_t>(n);
            if (held < wanted) out.shrunk = true;
            return held == wanted;
        };
        if (!fill(lead + length + tailRoom)) return;
        Crc32 crc;
        crc.add(buffer + lead, length);
        out.crc = crc.value();
        // The lines that start in the piece: after the last line end before
        // it (or at the file's start).
        const BlankColumns blank = blankColumnsOf(files[piece.file].name);
        const LineHash hash = files[piece.file].lineHash;
        const char* const pieceEnd = buffer + lead + length;
        const char* line = buffer + lead;
        if (piece.first > 0 && buffer[0] != '\n') {
            const void* end = memchr(buffer + lead, '\n', length);
            if (!end) return;
            line = static_cast<const char*>(end) + 1;
        }
        uint64_t sum = 0;
        int64_t lines = 0;
        while (line < pieceEnd) {
            const size_t at = static_cast<size_t>(line - buffer);
            const void* found = memchr(line, '\n', held - at);
            if (!found) {
                // A line that runs on beyond what was read: read up to its
                // longest length, or to the file's end.
                if (!fill(at + longestLine)) return;
                found = memchr(line, '\n', held - at);
                if (!found && start + static_cast<int64_t>(held) < size) {
                    out.overlong = true;
                    ++lines;
                    break;
                }
            }
            const char* const next = found ? static_cast<const char*>(found) + 1 : buffer + held;
            sum += lineHashWithSlack(line, static_cast<size_t>(next - line), blank, hash);
            ++lines;
            line = next;
        }
        out.sum = sum;
        out.lines = lines;
    }

    const int folder;
    const std::vector<FileToRead>& files;
    const std::vector<int64_t>& sizes;
    const std::vector<Piece>& pieces;
    std::vector<PieceFigures> figures;
    std::vector<FileFigures>& compressed;  // by file: those of the compressed files
    std::atomic<uint64_t>& bytesRead;
    std::atomic<size_t> next{0};
};

}  // namespace

std::vector<FileFigures> readFiles(int folder, const std::vector<FileToRead>& toRead, std::atomic<uint64_t>& bytesRead,
                                   unsigned threads) {
    std::vector<FileFigures> files(toRead.size());
    std::vector<int64_t> sizes(toRead.size(), 0);
    std::vector<Piece> pieces;
    std::vector<size_t> compressed;  // the compressed files, each one piece
    for (size_t f = 0; f < toRead.size(); ++f) {
        struct stat status {};
        if (fstatat(folder, toRead[f].name.c_str(), &status, 0) != 0) {
            files[f].error = strerror(errno);
            continue;
        }
        if (!S_ISREG(status.st_mode)) {
            files[f].error = "not a regular file";
            continue;
        }
        sizes[f] = status.st_size;
        if (toRead[f].compressed) {
            compressed.push_back(f);
            continue;
        }
        files[f].bytes = status.st_size;
        for (int64_t first = 0; first < sizes[f]; first += pieceBytes)
            pieces.push_back({f, first, std::min(sizes[f], first + pieceBytes)});
    }
    // The compressed files first, the largest first: the longest pieces of work.
    std::stable_sort(compressed.begin(), compressed.end(), [&](size_t a, size_t b) { return sizes[a] > sizes[b]; });
    std::vector<Piece> order;
    for (const size_t f : compressed) order.push_back({f, 0, sizes[f]});
    order.insert(order.end(), pieces.begin(), pieces.end());
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(order.size(), 1)));
    Reader reader(folder, toRead, sizes, order, files, bytesRead);
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) helpers.emplace_back([&reader] { reader.work(); });
    reader.work();
    for (std::thread& t : helpers) t.join();

    // The pieces of a plain file follow one another: their CRCs combine in order.
    const std::vector<PieceFigures>& results = reader.results();
    for (size_t i = compressed.size(); i < order.size(); ++i) {
        FileFigures& f = files[order[i].file];
        const PieceFigures& p = results[i];
        if (!f.error.empty()) continue;
        if (p.error != 0 || p.shrunk) {
            f.error = p.error != 0 ? strerror(p.error) : "it became shorter while it was read";
            continue;
        }
        f.crc = Crc32::combine(f.crc, p.crc, static_cast<uint64_t>(order[i].end - order[i].first));
        f.sum += p.sum;
        f.lines += p.lines;
        f.overlongLine = f.overlongLine || p.overlong;
    }
    return files;
}

}  // namespace qem
