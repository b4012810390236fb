#include "verify/FileReading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

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

class Reader {
public:
    Reader(int folder, const std::vector<std::string>& names, const std::vector<int64_t>& sizes,
           const std::vector<Piece>& pieces, std::atomic<uint64_t>& bytesRead)
        : folder(folder), names(names), sizes(sizes), pieces(pieces), figures(pieces.size()), bytesRead(bytesRead) {}

    // One thread's loop: the next piece not yet taken, until none is left.
    void work() {
        // Room for the byte before a piece, the piece, its last line at its
        // longest, and the 16 bytes that a line's hash reads past its end.
        std::unique_ptr<char[]> buffer(new char[1 + pieceBytes + longestLine + 1 + 16]());
        int fd = -1, openError = 0;
        size_t openFile = SIZE_MAX;
        for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < pieces.size();) {
            const Piece& piece = pieces[i];
            if (piece.file != openFile) {
                if (fd >= 0) close(fd);
                openFile = piece.file;
                fd = openat(folder, names[piece.file].c_str(), O_RDONLY | O_CLOEXEC);
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
        const BlankColumns blank = blankColumnsOf(names[piece.file]);
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
            sum += lineHashWithSlack(line, static_cast<size_t>(next - line), blank);
            ++lines;
            line = next;
        }
        out.sum = sum;
        out.lines = lines;
    }

    const int folder;
    const std::vector<std::string>& names;
    const std::vector<int64_t>& sizes;
    const std::vector<Piece>& pieces;
    std::vector<PieceFigures> figures;
    std::atomic<uint64_t>& bytesRead;
    std::atomic<size_t> next{0};
};

}  // namespace

std::vector<FileFigures> readFiles(int folder, const std::vector<std::string>& names, std::atomic<uint64_t>& bytesRead,
                                   unsigned threads) {
    std::vector<FileFigures> files(names.size());
    std::vector<int64_t> sizes(names.size(), 0);
    std::vector<Piece> pieces;
    for (size_t f = 0; f < names.size(); ++f) {
        struct stat status {};
        if (fstatat(folder, names[f].c_str(), &status, 0) != 0) {
            files[f].error = strerror(errno);
            continue;
        }
        if (!S_ISREG(status.st_mode)) {
            files[f].error = "not a regular file";
            continue;
        }
        sizes[f] = status.st_size;
        files[f].bytes = status.st_size;
        for (int64_t first = 0; first < sizes[f]; first += pieceBytes)
            pieces.push_back({f, first, std::min(sizes[f], first + pieceBytes)});
    }
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(pieces.size(), 1)));
    Reader reader(folder, names, sizes, pieces, bytesRead);
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) helpers.emplace_back([&reader] { reader.work(); });
    reader.work();
    for (std::thread& t : helpers) t.join();

    // The pieces of a file follow one another: their CRCs combine in order.
    const std::vector<PieceFigures>& results = reader.results();
    for (size_t i = 0; i < pieces.size(); ++i) {
        FileFigures& f = files[pieces[i].file];
        const PieceFigures& p = results[i];
        if (!f.error.empty()) continue;
        if (p.error != 0 || p.shrunk) {
            f.error = p.error != 0 ? strerror(p.error) : "it became shorter while it was read";
            continue;
        }
        f.crc = Crc32::combine(f.crc, p.crc, static_cast<uint64_t>(pieces[i].end - pieces[i].first));
        f.sum += p.sum;
        f.lines += p.lines;
        f.overlongLine = f.overlongLine || p.overlong;
    }
    return files;
}

}  // namespace qem
