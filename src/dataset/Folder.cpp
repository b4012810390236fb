#include "dataset/Folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "dataset/DataSetError.h"
#include "integrity/Manifest.h"

namespace qemdata {

namespace fs = std::filesystem;

Entry classifyEntry(const std::string& name) {
    Entry e;
    e.name = name;
    std::string n = name;
    if (auto final = qem::finalNameOf(n)) {
        e.temporary = true;
        n = std::move(*final);
    }
    if (n == stateFileName) {
        e.kind = Entry::stateFile;
        return e;
    }
    if (auto plain = qem::uncompressedNameOf(n)) {
        e.compressed = true;
        n = std::move(*plain);
    }
    if (const auto m = qem::parseManifestName(n)) {
        if (e.compressed) return e;  // no program writes one
        e.kind = Entry::manifest;
        e.phase = m->phase;
        e.part = m->part;
        return e;
    }
    if (auto p = qem::parsePartFileName(n)) {
        e.part = p->part;
        e.isPart = true;
        n = std::move(p->name);
    }
    if (n.size() > 4 && n.ends_with(".qem")) {
        e.kind = Entry::dataFile;
        e.base = std::move(n);
    }
    return e;
}

Folder Folder::list(const std::string& path) {
    Folder f;
    f.folder = path;
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
        f.all.push_back(classifyEntry(it->path().filename().string()));
    if (ec) throw DataSetError("cannot list folder '" + path + "': " + ec.message());
    std::sort(f.all.begin(), f.all.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    for (const Entry& e : f.all) {
        if (e.temporary) continue;
        if (e.kind == Entry::stateFile) f.statePresent = true;
        if (e.kind != Entry::dataFile) continue;
        StoredForms& forms = f.files[e.base];
        if (!e.isPart)
            (e.compressed ? forms.wholeCompressed : forms.whole) = e.name;
        else
            (e.compressed ? forms.parts[e.part].compressed : forms.parts[e.part].plain) = e.name;
    }
    if (f.statePresent) {
        // Six little-endian 32-bit integers; the phase done is the last.
        std::string error;
        const std::optional<std::string> state = readSmallFile(f.pathOf(stateFileName), error);
        if (state && state->size() >= 24) {
            const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>((*state)[i])); };
            const int32_t phase = static_cast<int32_t>(byte(20) | byte(21) << 8 | byte(22) << 16 | byte(23) << 24);
            if (phase == 1 || phase == 2) f.stateRecorded = phase;
        }
    }
    return f;
}

std::optional<std::string> readSmallFile(const std::string& path, std::string& error) {
    // Without waiting: a named pipe in a manifest's place must be refused,
    // not wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = strerror(errno);
        return std::nullopt;
    }
    struct stat status {};
    const bool statted = fstat(fd, &status) == 0;
    if (!statted || !S_ISREG(status.st_mode)) {
        error = statted ? "not a regular file" : strerror(errno);
        close(fd);
        return std::nullopt;
    }
    std::string text;
    char block[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = strerror(errno);
            close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(block, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

std::string Folder::pathOf(const std::string& entry) const { return (fs::path(folder) / entry).string(); }

const StoredForms* Folder::formsOf(const std::string& base) const {
    const auto it = files.find(base);
    return it == files.end() ? nullptr : &it->second;
}

std::string Folder::unfinishedFault() const {
    return std::string(stateFileName) + " is present: the data set is not finished (phases done: " +
           (stateRecorded ? std::to_string(*stateRecorded) : std::string("unknown")) + " of 3)";
}

}  // namespace qemdata
