#include "publish/Publication.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>

#include "integrity/Crc32.h"

namespace qem {

namespace fs = std::filesystem;

namespace {

std::string systemText() { return strerror(errno); }

const char* const temporaryMark = ".tmp-";

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !*name) return "unknown";
    // The name goes into file names: only what a file name takes.
    std::string host = name;
    for (char& c : host)
        if (c == '/' || c == ' ') c = '_';
    return host;
}

void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw OutputError("cannot open folder " + folder + ": " + systemText());
    const int status = fsync(fd);
    ::close(fd);
    if (status != 0) throw OutputError("cannot sync folder " + folder + ": " + systemText());
}

// Renames without replacing: a file that appeared under the final name in
// the meantime is kept and the rename refused.
void renameNew(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    if (errno == EEXIST) throw OutputError(to + " appeared while the files were written; it is left as it is");
    if (errno != EINVAL && errno != ENOSYS)
        throw OutputError("cannot rename " + from + " to " + to + ": " + systemText());
    // A file system without the flag: link and unlink refuse the same way.
    if (link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) throw OutputError(to + " appeared while the files were written; it is left as it is");
        throw OutputError("cannot rename " + from + " to " + to + ": " + systemText());
    }
    ::unlink(from.c_str());
}

// What a temporary file's name says of its writer: "NAME.tmp-HOST-PID", or
// "NAME.tmp-PID" as written before the host was named (taken as this host's).
struct Writer {
    std::string host;
    long pid = 0;
};

std::optional<Writer> writerOf(const std::string& suffix) {
    const size_t dash = suffix.rfind('-');
    const std::string digits = dash == std::string::npos ? suffix : suffix.substr(dash + 1);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    Writer w;
    w.pid = std::stol(digits);
    w.host = dash == std::string::npos ? hostName() : suffix.substr(0, dash);
    return w;
}

}  // namespace

uint32_t crcOf(const char* data, size_t size) {
    Crc32 c;
    c.add(data, size);
    return c.value();
}

std::string temporaryNameOf(const std::string& name) {
    return name + temporaryMark + hostName() + "-" + std::to_string(getpid());
}

PieceFile::~PieceFile() {
    if (fd >= 0) ::close(fd);
}

void PieceFile::create() {
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) throw OutputError("cannot create " + temp + ": " + systemText());
    created = true;
}

void PieceFile::writeFirst(const std::string& text) { append(text.data(), text.size(), crcOf(text.data(), text.size()), 0); }

void PieceFile::putWhole(const std::string& text, uint64_t textRows) {
    put(0, text.data(), text.size(), textRows, 1, [] {});
    complete(1);
}

void PieceFile::put(size_t number, const char* data, size_t size, uint64_t pieceRows, size_t window,
                    const std::function<void()>& whileWaiting) {
    const uint32_t pieceCrc = crcOf(data, size);
    std::unique_lock<std::mutex> lock(mutex);
    while (number >= next + window) {
        whileWaiting();
        changed.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (number != next || writing) {
        // Into a buffer of an earlier piece, whose memory is in place already.
        std::string copy;
        if (!spare.empty()) {
            copy = std::move(spare.back());
            spare.pop_back();
        }
        copy.assign(data, size);
        held.emplace(number, Piece{std::move(copy), pieceCrc, pieceRows});
        return;
    }
    writing = true;
    // The next piece written outside the lock, this thread alone writing.
    auto appendNext = [&](const char* text, size_t length, uint32_t textCrc, uint64_t textRows) {
        lock.unlock();
        try {
            append(text, length, textCrc, textRows);
        } catch (...) {
            lock.lock();
            writing = false;
            throw;
        }
        lock.lock();
        ++next;
    };
    appendNext(data, size, pieceCrc, pieceRows);
    // The pieces that waited for this one.
    for (auto it = held.find(next); it != held.end(); it = held.find(next)) {
        Piece piece = std::move(it->second);
        held.erase(it);
        appendNext(piece.bytes.data(), piece.bytes.size(), piece.crc, piece.rows);
        spare.push_back(std::move(piece.bytes));
    }
    if (next == pieces) std::vector<std::string>().swap(spare);  // the file is whole: its buffers go
    writing = false;
    changed.notify_all();
}

void PieceFile::complete(size_t expected) {
    if (next != expected || !held.empty())
        throw OutputError(temp + ": " + std::to_string(next) + " of " + std::to_string(expected) + " pieces written");
    if (fdatasync(fd) != 0) throw OutputError("writing " + temp + ": " + systemText());
    if (::close(fd) != 0) {
        fd = -1;
        throw OutputError("writing " + temp + ": " + systemText());
    }
    fd = -1;
}

void PieceFile::discard() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    if (created) ::unlink(temp.c_str());
    created = false;
}

void PieceFile::append(const char* data, size_t size, uint32_t pieceCrc, uint64_t pieceRows) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw OutputError("writing " + temp + ": " + systemText());
        done += static_cast<size_t>(n);
    }
    crc = Crc32::combine(crc, pieceCrc, size);
    bytes += size;
    rows += pieceRows;
}

Publication::Publication(std::string f, std::string p) : folder(std::move(f)), program(std::move(p)) {}

void Publication::prepare(const std::vector<std::string>& names, const std::string& notThis) {
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (fs::exists(status)) {
        if (!fs::is_directory(status)) throw OutputError(folder + ": exists and is not a folder");
    } else {
        if (!fs::create_directory(folder, ec) && ec)
            throw OutputError("cannot create folder " + folder + ": " + ec.message());
        createdFolder = true;
    }
    if (!notThis.empty() && fs::equivalent(folder, notThis, ec))
        throw OutputError(folder + ": is the data set's own folder; the files go into a folder of their own");
    for (const std::string& name : names) {
        const fs::path path = fs::path(folder) / name;
        if (fs::symlink_status(path, ec).type() != fs::file_type::not_found)
            throw OutputError(path.string() + ": exists; " + program +
                              " writes only files that are not there yet (remove the old ones, or choose another "
                              "folder)");
    }
    if (access(folder.c_str(), W_OK) != 0) throw OutputError("cannot write into folder " + folder + ": " + systemText());
    // What an earlier run left under temporary names.
    const std::string here = hostName();
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        for (const std::string& name : names) {
            if (!entry.starts_with(name + temporaryMark)) continue;
            const std::optional<Writer> w = writerOf(entry.substr(name.size() + strlen(temporaryMark)));
            if (!w) continue;
            // A number of this process's own was a process that is gone: this
            // one has written nothing here yet.
            const bool gone = w->host == here && (w->pid == static_cast<long>(getpid()) ||
                                                  (kill(static_cast<pid_t>(w->pid), 0) != 0 && errno == ESRCH));
            if (!gone)
                throw OutputError(it->path().string() + ": a file being written by process " + std::to_string(w->pid) +
                                  " on " + (w->host == here ? "this host" : "host " + w->host) +
                                  ", which may still run: wait for it, or remove the file once it has ended");
            if (::unlink(it->path().c_str()) != 0 && errno != ENOENT)
                throw OutputError("cannot remove " + it->path().string() + ": " + systemText());
            fprintf(stderr, "%s: removed %s, left by a run that did not finish (process %ld on this host has ended)\n",
                    program.c_str(), it->path().string().c_str(), w->pid);
        }
    }
}

PieceFile& Publication::add(const std::string& name) {
    const std::string path = (fs::path(folder) / name).string();
    all.push_back(std::make_unique<PieceFile>(path, (fs::path(folder) / temporaryNameOf(name)).string()));
    return *all.back();
}

void Publication::publish() {
    for (auto& f : all) {
        if (!f->created) continue;
        renameNew(f->temp, f->path);
        f->created = false;
        published.push_back(f->path);
    }
    syncFolder(folder);
}

void Publication::keep() {
    published.clear();
    createdFolder = false;
}

void Publication::discard() {
    for (auto& f : all) f->discard();
    for (const std::string& p : published) ::unlink(p.c_str());
    published.clear();
    if (createdFolder) {
        std::error_code ec;
        fs::remove(folder, ec);  // only when empty
        createdFolder = false;
    }
}

}  // namespace qem
