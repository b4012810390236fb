#include "load/DataFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "load/LoadError.h"

namespace qemload {

namespace fs = std::filesystem;

namespace {

const std::string partMark = ".part";
constexpr size_t partDigits = 4;

std::string systemText() { return strerror(errno); }

// Part number of "NAME.partKKKK", or -1 when entry is not a part of NAME.
long partNumber(const std::string& entry, const std::string& name) {
    const std::string prefix = name + partMark;
    if (entry.size() != prefix.size() + partDigits || entry.compare(0, prefix.size(), prefix) != 0) return -1;
    long number = 0;
    for (size_t i = prefix.size(); i < entry.size(); ++i) {
        if (entry[i] < '0' || entry[i] > '9') return -1;
        number = number * 10 + (entry[i] - '0');
    }
    return number;
}

std::map<long, std::string> findParts(const std::string& folder, const std::string& name) {
    std::map<long, std::string> parts;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        const long number = partNumber(entry, name);
        if (number >= 0) parts[number] = it->path().string();
    }
    if (ec) throw LoadError("cannot list folder '" + folder + "': " + ec.message());
    return parts;
}

uint64_t fileSize(const std::string& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec) throw LoadError("cannot read '" + path + "': " + ec.message());
    return size;
}

}  // namespace

bool DataFile::exists(const std::string& folder, const std::string& name) {
    std::error_code ec;
    return fs::exists(fs::path(folder) / name, ec) || !findParts(folder, name).empty();
}

DataFile DataFile::find(const std::string& folder, const std::string& name) {
    DataFile file;
    file.fileName = name;
    const std::string whole = (fs::path(folder) / name).string();
    std::error_code ec;
    const bool wholeExists = fs::exists(whole, ec);
    const auto parts = findParts(folder, name);
    if (wholeExists && !parts.empty())
        throw LoadError(name + ": both the whole file and parts (" + name + partMark + "...) are present");
    if (wholeExists) {
        file.fileParts.push_back({whole, 0, fileSize(whole)});
    } else {
        if (parts.empty()) throw LoadError(name + ": file is missing");
        file.inParts = true;
        long expected = parts.begin()->first;
        if (expected > 1)
            throw LoadError(name + ": part " + std::to_string(expected) + " is the first; parts start at 0000 or 0001");
        for (const auto& [number, path] : parts) {
            if (number != expected)
                throw LoadError(name + ": part " + std::to_string(expected) + " is missing (the parts go up to " +
                                std::to_string(parts.rbegin()->first) + ")");
            file.fileParts.push_back({path, 0, fileSize(path)});
            ++expected;
        }
    }
    for (auto& part : file.fileParts) {
        part.offset = file.totalSize;
        file.totalSize += part.size;
    }
    return file;
}

void DataFile::read(uint64_t offset, char* out, size_t length) const {
    auto part = std::upper_bound(fileParts.begin(), fileParts.end(), offset,
                                 [](uint64_t value, const Part& p) { return value < p.offset; });
    if (part != fileParts.begin()) --part;
    while (length > 0) {
        if (part == fileParts.end()) throw LoadError(fileName + ": ends early (the file changed while loading?)");
        const int fd = open(part->path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw LoadError("cannot open '" + part->path + "': " + systemText());
        uint64_t within = offset - part->offset;
        while (length > 0 && within < part->size) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(length, part->size - within));
            const ssize_t got = pread(fd, out, want, static_cast<off_t>(within));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                const std::string text = got < 0 ? systemText() : "file is shorter than when the load started";
                close(fd);
                throw LoadError("cannot read '" + part->path + "': " + text);
            }
            out += got;
            within += got;
            offset += got;
            length -= got;
        }
        close(fd);
        ++part;
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

FileBytes::FileBytes(const DataFile& file) : length(static_cast<size_t>(file.size())) {
    if (length == 0) return;
    if (file.parts().size() == 1) {
        const std::string& path = file.parts().front().path;
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw LoadError("cannot open '" + path + "': " + systemText());
        void* m = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
        close(fd);
        if (m != MAP_FAILED) {
            mapping = m;
            bytes = static_cast<const char*>(m);
            return;
        }
    }
    copy.reset(new char[length]);
    file.read(0, copy.get(), length);
    bytes = copy.get();
}

FileBytes::~FileBytes() {
    if (mapping) munmap(mapping, length);
}

}  // namespace qemload
