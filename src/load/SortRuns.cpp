#include "load/SortRuns.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "dataset/DataSetError.h"

namespace qemload {

using namespace qemdata;

namespace {

constexpr size_t headerBytes = 12;
constexpr size_t writeBytes = 1u << 20;

}  // namespace

void sortEntries(std::vector<RunEntry>& entries) {
    std::sort(entries.begin(), entries.end(), [](const RunEntry& a, const RunEntry& b) { return a.key < b.key; });
}

std::string runFolder() {
    const char* dir = getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

RunFile::RunFile(const std::string& f, const std::string& w) : folder(f), what(w) {
#ifdef O_TMPFILE
    fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (fd < 0) {
        std::string path = folder + "/qemload-run-XXXXXX";
        fd = mkstemp(path.data());
        if (fd < 0) fail("creating");
        unlink(path.c_str());
    }
}

RunFile::~RunFile() {
    if (fd >= 0) close(fd);
}

void RunFile::fail(const char* doing) const {
    throw DataSetError(std::string(doing) + " a sort run of " + what + " in " + folder + ": " + strerror(errno) +
                    " (a table whose rows exceed --sort-memory is sorted in runs there, which need about its rows' "
                    "size; TMPDIR names the folder)");
}

void RunFile::flushWrites() {
    for (size_t done = 0; done < end;) {
        const ssize_t n = ::write(fd, buffer.data() + done, end - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("writing");
        }
        done += static_cast<size_t>(n);
    }
    end = 0;
}

void RunFile::write(const std::vector<RunEntry>& entries, const char* bytes) {
    buffer.resize(writeBytes);
    end = 0;
    for (const RunEntry& e : entries) {
        const size_t size = e.size;
        if (buffer.size() - end < headerBytes + size) {
            flushWrites();
            if (buffer.size() < headerBytes + size) buffer.resize(headerBytes + size);
        }
        const uint32_t size32 = static_cast<uint32_t>(size);
        memcpy(buffer.data() + end, &e.key, 8);
        memcpy(buffer.data() + end + 8, &size32, 4);
        memcpy(buffer.data() + end + headerBytes, bytes + e.offset, size);
        end += headerBytes + size;
    }
    flushWrites();
}

void RunFile::startReading(size_t bufferBytes) {
    if (lseek(fd, 0, SEEK_SET) < 0) fail("reading");
    buffer.assign(bufferBytes, 0);
    begin = end = 0;
    atEnd = false;
}

// Moves the unread bytes to the front and reads more after them.
void RunFile::fill() {
    memmove(buffer.data(), buffer.data() + begin, end - begin);
    end -= begin;
    begin = 0;
    while (end < buffer.size()) {
        const ssize_t n = ::read(fd, buffer.data() + end, buffer.size() - end);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("reading");
        }
        if (n == 0) {
            atEnd = true;
            break;
        }
        end += static_cast<size_t>(n);
    }
}

bool RunFile::next(uint64_t& key, const char*& rows, size_t& size) {
    if (end - begin < headerBytes && !atEnd) fill();
    if (end == begin) return false;
    if (end - begin < headerBytes) throw DataSetError("a sort run of " + what + " in " + folder + " ends inside a line");
    uint32_t size32 = 0;
    memcpy(&key, buffer.data() + begin, 8);
    memcpy(&size32, buffer.data() + begin + 8, 4);
    size = size32;
    if (end - begin < headerBytes + size) {
        if (buffer.size() < headerBytes + size) buffer.resize(headerBytes + size);
        if (!atEnd) fill();
        if (end - begin < headerBytes + size)
            throw DataSetError("a sort run of " + what + " in " + folder + " ends inside a line");
    }
    rows = buffer.data() + begin + headerBytes;
    begin += headerBytes + size;
    return true;
}

}  // namespace qemload
