#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qemdata {

// What a folder entry's name makes of it, by the names the programs give
// their files (integrity/Manifest.h and its inverses): the generator's state
// file, a manifest, a file of a data set ("NAME.qem", whole or part
// "NAME.qem.partKKKK", plain or compressed "*.zst"), each possibly a
// temporary or side file of a write that did not finish ("*.tmp", "*.new"),
// or anything else.
struct Entry {
    enum Kind { other, stateFile, manifest, dataFile };
    std::string name;    // as listed
    Kind kind = other;
    bool temporary = false;   // "*.tmp" or "*.new": the fields below describe the name it becomes
    bool compressed = false;  // "*.zst"
    std::string base;         // a data file's name without part and ending: "histsale.qem"
    int32_t phase = 0;        // a manifest's phase
    int32_t part = 0;         // ".partKKKK": K; 0 for a whole file or a whole phase's manifest
    bool isPart = false;      // a part file's name (its K may be 0, which no manifest describes)
};

Entry classifyEntry(const std::string& name);

// The generator's state file, which the third phase deletes: present while
// a data set is unfinished.
inline constexpr const char* stateFileName = "qem1r2genstate";

// The forms in which one file of a data set is stored: whole, plain and/or
// compressed, and parts by number, each plain and/or compressed (entry
// names; "" for a form not present).
struct StoredForms {
    struct Part {
        std::string plain, compressed;
    };
    std::string whole, wholeCompressed;
    std::map<int32_t, Part> parts;
    bool any() const { return !whole.empty() || !wholeCompressed.empty() || !parts.empty(); }
};

// The entries of a data set's folder, read once, sorted by name.
class Folder {
public:
    // Throws DataSetError when the folder cannot be listed.
    static Folder list(const std::string& path);

    const std::string& path() const { return folder; }
    std::string pathOf(const std::string& entry) const;
    const std::vector<Entry>& entries() const { return all; }
    // The data files (not temporaries) by base name, in every form present.
    const std::map<std::string, StoredForms>& dataFiles() const { return files; }
    const StoredForms* formsOf(const std::string& base) const;

    // The state file: whether it is present, and the phase it records
    // (nothing when it cannot be read or records no phase 1 or 2).
    bool stateFilePresent() const { return statePresent; }
    std::optional<int32_t> statePhase() const { return stateRecorded; }
    // "qem1r2genstate is present: the data set is not finished (phases
    // done: 2 of 3)": the fault of a data set read whole while it is there.
    std::string unfinishedFault() const;

private:
    std::string folder;
    std::vector<Entry> all;
    std::map<std::string, StoredForms> files;
    bool statePresent = false;
    std::optional<int32_t> stateRecorded;
};

// The whole of a small regular file (a manifest, the state file); nothing,
// with the reason, when it cannot be read.
std::optional<std::string> readSmallFile(const std::string& path, std::string& error);

}  // namespace qemdata
