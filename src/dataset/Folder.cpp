#include "dataset/Folder.h"

#include <algorithm>
#include <cstdio>
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
        if (FILE* state = fopen(f.pathOf(stateFileName).c_str(), "rb")) {
            unsigned char bytes[25];
            if (fread(bytes, 1, sizeof bytes, state) == 24) {
                const int32_t phase = static_cast<int32_t>(bytes[20] | bytes[21] << 8 | bytes[22] << 16 |
                                                           static_cast<uint32_t>(bytes[23]) << 24);
                if (phase == 1 || phase == 2) f.stateRecorded = phase;
            }
            fclose(state);
        }
    }
    return f;
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
