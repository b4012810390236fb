#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace qem {

// Files that a program publishes into a folder all at once: each written
// under a temporary name of its own ("NAME.tmp-HOST-PID"), made durable,
// and renamed to its final name only when every one of them is complete,
// never over a file that is there; until then a failure removes everything
// it made, and a folder it created too. So a folder never holds a file of
// it under its final name that is not whole.

// A failure to write, sync or rename, with the file and the system's text.
class OutputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A file under its temporary name, written in pieces that may come from
// any thread in any order and are written in their order. A piece that
// comes before its turn waits in memory; a thread whose piece lies too far
// ahead waits, so that the memory stays bounded (the earliest piece not yet
// written is always in the hands of a thread that does not wait, when
// pieces are handed out in order).
class PieceFile {
public:
    PieceFile(std::string finalPath, std::string tempPath) : path(std::move(finalPath)), temp(std::move(tempPath)) {}
    ~PieceFile();
    PieceFile(const PieceFile&) = delete;
    PieceFile& operator=(const PieceFile&) = delete;

    void create();
    // Bytes that come before every piece (a header line).
    void writeFirst(const std::string& bytes);
    // Piece `number` (0, 1, ... in file order): its bytes and rows. A piece
    // more than `window` pieces ahead waits; while it waits, `waiting()` is
    // called now and then, and may throw to give up.
    void put(size_t number, const char* data, size_t size, uint64_t rows, size_t window,
             const std::function<void()>& waiting);
    // A whole file in one piece, before any other.
    void putWhole(const std::string& bytes, uint64_t rows = 0);
    // Makes the file durable and closes it; every piece up to `pieces` must
    // have been written.
    void complete(size_t pieces);
    // Removes the temporary file, if this program made it.
    void discard();

    const std::string path, temp;
    size_t pieces = 0;  // of the whole file, once known: their buffers go when the last is written
    uint64_t rows = 0, bytes = 0;
    uint32_t crc = 0;  // CRC-32 of the file's bytes
    bool created = false;

private:
    struct Piece {
        std::string bytes;
        uint32_t crc;
        uint64_t rows;
    };
    // Only the holder of `writing` (or the caller before any thread runs) appends.
    void append(const char* data, size_t size, uint32_t pieceCrc, uint64_t pieceRows);

    int fd = -1;
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;
    bool writing = false;
    std::map<size_t, Piece> held;
    std::vector<std::string> spare;  // buffers of pieces written, kept for the next ones
};

// The files of one publication into `folder`.
class Publication {
public:
    // `program` names the caller in notes ("qemexport").
    Publication(std::string folder, std::string program);
    ~Publication() { discard(); }

    // Makes the folder if it is missing; refuses a folder that is not one,
    // the folder `notThis` (the data set's own, say), a folder this process
    // may not write, and any of `names` already there. Temporary files of
    // these names that an earlier run left (killed, say) are removed where
    // their process is certainly gone (it ran on this host and is no
    // more), each said on standard error; one of a process that may still
    // run is refused with its name.
    void prepare(const std::vector<std::string>& names, const std::string& notThis);
    PieceFile& add(const std::string& name);
    // Every file not yet published, renamed to its final name; until keep(),
    // a failure removes them again.
    void publish();
    void keep();
    void discard();

    const std::vector<std::unique_ptr<PieceFile>>& files() const { return all; }

private:
    std::string folder, program;
    std::vector<std::unique_ptr<PieceFile>> all;
    std::vector<std::string> published;
    bool createdFolder = false;
};

// "NAME.tmp-HOST-PID": the temporary name of a file this process writes.
std::string temporaryNameOf(const std::string& name);

// The CRC-32 of bytes.
uint32_t crcOf(const char* data, size_t size);

}  // namespace qem
