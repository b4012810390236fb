#include "verify/DataSetCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "context/Context.h"
#include "integrity/Manifest.h"
#include "phase/DataSetSize.h"
#include "phase/PhaseFiles.h"
#include "verify/CheckProgress.h"
#include "verify/FileReading.h"
#include "verify/Regenerate.h"

namespace qem {

namespace {

using Clock = std::chrono::steady_clock;

std::string hex(uint64_t value, int digits) {
    char text[24];
    snprintf(text, sizeof text, "%0*" PRIx64, digits, value);
    return text;
}

std::string str(int64_t value) { return std::to_string(value); }

// "zstd:LEVEL", LEVEL 1 to 19: the compression qempart writes.
bool knownCompression(const std::string& compression) {
    if (!compression.starts_with("zstd:")) return false;
    const std::string level = compression.substr(5);
    if (level.empty() || level.size() > 2 || level.find_first_not_of("0123456789") != std::string::npos) return false;
    return std::stoi(level) >= 1 && std::stoi(level) <= 19;
}

// What a folder entry's name says of it.
struct EntryName {
    enum Kind { unrelated, manifest, dataFile } kind = unrelated;
    bool temporary = false;   // "*.tmp" or "*.new": a write that did not finish
    bool compressed = false;  // a part file "NAME.qem.partKKKK.zst"
    int32_t phase = 0;        // a manifest's phase
    int32_t part = 0;         // ".partKKKK": K; 0 for none (a whole file)
    std::string base;         // a data file's name without its part number
};

// Takes ".partKKKK" (K from 1) off the end of name; returns K, or 0 where the
// name has none.
int32_t takePart(std::string& name) {
    const size_t n = name.size();
    if (n < 9 || name.compare(n - 9, 5, ".part") != 0) return 0;
    int32_t part = 0;
    for (size_t i = n - 4; i < n; ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        part = part * 10 + (name[i] - '0');
    }
    if (part > 0) name.resize(n - 9);
    return part;
}

EntryName classify(std::string name) {
    EntryName e;
    if (name.ends_with(".tmp") || name.ends_with(".new")) {
        e.temporary = true;
        name.resize(name.size() - 4);
    }
    // Only parts are written compressed: a whole file's ".zst" (packed by
    // hand, say) is not the data set's.
    if (name.ends_with(compressedEnding)) {
        std::string packed = name.substr(0, name.size() - strlen(compressedEnding));
        if (takePart(packed) == 0 || !packed.ends_with(".qem")) return e;
        e.compressed = true;
        name.resize(name.size() - strlen(compressedEnding));
    }
    e.part = takePart(name);
    if (name.size() == 15 && name.starts_with("phase") && name.ends_with(".manifest") && name[5] >= '1' &&
        name[5] <= '3') {
        e.kind = EntryName::manifest;
        e.phase = name[5] - '0';
    } else if (name.ends_with(".qem")) {
        e.kind = EntryName::dataFile;
        e.base = name;
    }
    return e;
}

// A manifest as read from the folder: part 0 is a whole phase's.
struct ManifestRead {
    std::string name;
    int32_t phase = 0, part = 0;
    Manifest m;
};

// The manifests of one phase.
struct PhaseView {
    const ManifestRead* whole = nullptr;
    std::map<int32_t, const ManifestRead*> parts;
    int32_t partCount = 0;  // P: 1 for a whole phase, 0 with no manifest
    // The whole phase's manifest, or those of parts 1 to P.
    bool complete() const {
        if (whole) return true;
        for (int32_t k = 1; k <= partCount; ++k)
            if (!parts.count(k)) return false;
        return partCount > 0;
    }
    const ManifestRead* first() const { return whole ? whole : parts.empty() ? nullptr : parts.begin()->second; }
    // The whole phase's manifest, or the parts' in part order.
    std::vector<const ManifestRead*> all() const {
        std::vector<const ManifestRead*> list;
        if (whole) list.push_back(whole);
        for (const auto& [k, read] : parts) list.push_back(read);
        return list;
    }
};

// A file that a manifest lists.
struct Listed {
    std::string path, base;
    int32_t phase = 0, part = 0;  // part 0: whole
    bool compressed = false;      // path is "NAME.qem.partKKKK.zst"
    const ManifestRead* manifest = nullptr;
    const ManifestFile* entry = nullptr;
    size_t order = 0;  // of its base among the phase's files
    FileFigures figures;
};

// One line of the report.
struct Row {
    std::string name;
    std::optional<int64_t> lines, bytes;
    std::vector<std::string> faults;
};

// The whole of a small file of the folder; nothing, with the reason, when it
// cannot be read.
std::optional<std::string> readSmallFile(int folder, const std::string& name, std::string& error) {
    const int fd = openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = strerror(errno);
        return std::nullopt;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = S_ISREG(status.st_mode) ? strerror(errno) : "not a regular file";
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

// The answers and seed of a manifest as the generator keeps them; nothing
// for values no data set has.
std::optional<GeneratorState> answersOf(const Manifest& m, int32_t phase) {
    const auto fits = [](int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; };
    if (!fits(m.channels) || !fits(m.densityCode) || !fits(m.users) || !fits(m.seed)) return std::nullopt;
    const GeneratorState state{static_cast<int32_t>(m.channels), static_cast<int32_t>(m.users),
                               static_cast<int32_t>(m.densityCode), 1, static_cast<int32_t>(m.seed), phase};
    if (!stateIsSound(state)) return std::nullopt;
    return state;
}

class Check {
public:
    Check(const VerifyCommand& command, int folder) : command(command), folder(folder) {}

    int run(bool progress);

private:
    void listFolder();
    void readManifests();
    void checkAgreement();
    LineHash lineHashOf(int32_t phase) const {
        const auto it = lineHashes.find(phase);
        return it == lineHashes.end() ? currentLineHash : it->second;
    }
    void learnFileNames();
    void checkPhases();
    void collectListed();
    void checkStray();
    void compareFiles();
    void checkSums();
    void regenerate(RegenerationProgress& progress);
    void compareRegenerated();
    int report() const;

    bool relevantPart(int32_t part) const { return command.part == 0 || part == command.part; }
    // The phase of a data-set file's name: 1 to 3; 0 for a name no file of
    // the data set has; -1 while the names are unknown.
    int32_t phaseOfName(const std::string& base) const;
    bool relevantPhase(int32_t phase) const { return phase <= 0 || command.phases.count(phase) > 0; }
    void fault(const std::string& text) { faults.push_back(text); }

    const VerifyCommand& command;
    const int folder;
    std::vector<std::pair<std::string, EntryName>> entries;
    std::set<std::string> present;
    std::vector<std::unique_ptr<ManifestRead>> manifests;  // by phase, then part
    std::map<int32_t, PhaseView> views;                    // every phase asked
    const ManifestRead* reference = nullptr;
    // The file names of the answers, once known.
    bool namesKnown = false;
    std::map<std::string, int32_t> namedPhase;  // the files of phases 1 and 2
    std::vector<Listed> listed;
    std::vector<std::string> notes;
    std::vector<std::string> faults;
    std::vector<Row> rows, strayRows, regeneratedRows;
    std::map<int32_t, Regeneration> regenerated;
    // By phase: the line hash of its manifests' content sums.
    std::map<int32_t, LineHash> lineHashes;
    double readSeconds = 0, regenerateSeconds = 0;
    bool anyCompressed = false;
    int64_t compressedBytes = 0;  // of the compressed files read
};

int32_t Check::phaseOfName(const std::string& base) const {
    if (!namesKnown) return -1;
    if (const auto found = namedPhase.find(base); found != namedPhase.end()) return found->second;
    // A query file: "qry" and the number of a user, as the generator names it.
    if (base.size() < 10 || !base.starts_with("qry") || !base.ends_with(".qem")) return 0;
    const std::string digits = base.substr(3, base.size() - 7);
    if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    const int64_t user = std::stoll(digits);
    return user >= 1 && user <= context.state.userCount && queryFileName(user) == base ? 3 : 0;
}

void Check::listFolder() {
    const int copy = dup(folder);
    DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0) close(copy);
        fault(std::string("the folder cannot be listed: ") + strerror(errno));
        return;
    }
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        entries.emplace_back(name, classify(name));
        present.insert(name);
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
}

void Check::readManifests() {
    for (const auto& [name, e] : entries) {
        if (e.kind != EntryName::manifest || e.temporary || !command.phases.count(e.phase)) continue;
        // With --part K only part K's manifest; a whole phase's is no part's.
        if (command.part != 0 && e.part != command.part) continue;
        std::string error;
        const std::optional<std::string> text = readSmallFile(folder, name, error);
        std::optional<Manifest> m;
        if (text) m = Manifest::parse(*text, error);
        if (!m) {
            fault(name + ": not a readable manifest: " + error);
            continue;
        }
        auto read = std::make_unique<ManifestRead>(ManifestRead{name, e.phase, e.part, std::move(*m)});
        const Manifest& r = read->m;
        if (r.phase != e.phase) fault(name + ": it says phase " + str(r.phase));
        if (e.part == 0 && (r.parts != 1 || r.part != 1))
            fault(name + ": a whole phase's manifest, but it says part " + str(r.part) + " of " + str(r.parts));
        if (e.part != 0 && r.part != e.part) fault(name + ": it says part " + str(r.part));
        if (!r.compression.empty() && !knownCompression(r.compression))
            fault(name + ": compression " + r.compression + ", not one qempart writes (zstd:1 to zstd:19)");
        if (r.version == 1) notes.push_back(name + ": version 1, without content sums: lines, bytes and CRC-32 checked");
        manifests.push_back(std::move(read));
    }
    std::stable_sort(manifests.begin(), manifests.end(), [](const auto& a, const auto& b) {
        return a->phase != b->phase ? a->phase < b->phase : a->part < b->part;
    });
    for (const int32_t phase : command.phases) views[phase];
    for (const auto& read : manifests) {
        PhaseView& view = views[read->phase];
        if (read->part == 0)
            view.whole = read.get();
        else
            view.parts[read->part] = read.get();
    }
    for (auto& [phase, view] : views)
        view.partCount = view.whole ? 1 : view.parts.empty() ? 0 : view.parts.begin()->second->m.parts;
    if (!manifests.empty()) reference = manifests.front().get();
}

void Check::checkAgreement() {
    for (const auto& read : manifests) {
        if (read.get() == reference) continue;
        const Manifest &m = read->m, &r = reference->m;
        std::string differences;
        const auto differ = [&](const char* what, int64_t value, int64_t wanted) {
            if (value != wanted) differences += std::string(differences.empty() ? "" : ", ") + what + " " + str(value);
        };
        differ("channels", m.channels, r.channels);
        differ("density code", m.densityCode, r.densityCode);
        differ("users", m.users, r.users);
        differ("seed", m.seed, r.seed);
        differ("parts", m.parts, r.parts);
        if (!differences.empty())
            fault(read->name + ": " + differences + ", where " + reference->name + " says channels " +
                  str(r.channels) + ", density code " + str(r.densityCode) + ", users " + str(r.users) + ", seed " +
                  str(r.seed) + ", parts " + str(r.parts) + ": not one data set");
    }
    // A phase's files are read, and regenerated, with the line hash of its
    // manifests (version 1, without sums, takes that of the others): the
    // sums of a file's parts add up only when one hash made them.
    std::map<int32_t, const ManifestRead*> hashed;
    for (const auto& read : manifests) {
        if (read->m.version == 1) continue;
        const auto [first, isFirst] = hashed.emplace(read->phase, read.get());
        lineHashes[read->phase] = first->second->m.lineHash();
        if (!isFirst && read->m.lineHash() != first->second->m.lineHash())
            fault(read->name + ": manifest version " + str(read->m.version) + ", where " + first->second->name +
                  " has version " + str(first->second->m.version) +
                  ": content sums of different line hashes in one phase");
    }
}

void Check::learnFileNames() {
    if (!reference) return;
    const Manifest& r = reference->m;
    const std::optional<GeneratorState> state = answersOf(r, 1);
    if (!state) {
        fault(reference->name + ": channels " + str(r.channels) + ", density code " + str(r.densityCode) + ", users " +
              str(r.users) + ", seed " + str(r.seed) + ": answers no data set has");
        return;
    }
    if (const std::string problem = dataSetProblem(*state); !problem.empty()) {
        notes.push_back("the file names and sizes are not checked against the answers: " + problem);
        return;
    }
    context.state = *state;
    initDensityPattern();
    for (const int32_t phase : {1, 2})
        for (const PhaseFile& f : phaseFiles(phase)) namedPhase[f.name] = phase;
    namesKnown = true;
}

void Check::checkPhases() {
    for (const auto& [phase, view] : views) {
        const std::string p = "phase " + str(phase);
        if (view.whole && !view.parts.empty())
            fault(p + ": both a whole phase's manifest (" + view.whole->name + ") and part manifests (" +
                  view.parts.begin()->second->name + ")");
        if (!view.first()) {
            fault(p + ": no manifest (" +
                  (command.part ? manifestName(phase, command.part) : manifestName(phase) + " or " +
                                                                          manifestName(phase, 1) + " ...") +
                  ")");
            continue;
        }
        const int32_t parts = view.partCount;
        if (!view.whole) {
            for (int32_t k = 1; k <= parts; ++k)
                if (relevantPart(k) && !view.parts.count(k))
                    fault(p + ": part " + str(k) + " of " + str(parts) + " is missing (no " + manifestName(phase, k) +
                          ")");
            for (const auto& [k, read] : view.parts)
                if (k > parts) fault(read->name + ": part " + str(k) + ", beyond the " + str(parts) + " parts of " + p);
        }
        if (!namesKnown) continue;
        // Every manifest lists the phase's files, in writing order, with
        // the whole file's lines and bytes that the answers give (every
        // query file has the same).
        const int64_t count = phaseFileCount(phase);
        std::vector<std::string> names;
        std::vector<std::optional<FileSize>> sizes;
        const std::vector<PhaseFile> phaseList = phase == 3 ? std::vector<PhaseFile>{} : phaseFiles(phase);
        for (int64_t i = 0; i < count; ++i) {
            names.push_back(phase == 3 ? queryFileName(i + 1) : phaseList[static_cast<size_t>(i)].name);
            const std::optional<FileSize> size = phase == 3 && i > 0 ? sizes.front() : expectedFileSize(names.back());
            sizes.push_back(size);
        }
        for (const ManifestRead* read : view.all()) {
            const std::vector<ManifestFile>& files = read->m.files;
            if (static_cast<int64_t>(files.size()) != count)
                fault(read->name + ": it lists " + str(static_cast<int64_t>(files.size())) + " files; the answers give " +
                      p + " " + str(count) + " files");
            for (size_t i = 0; i < files.size() && static_cast<int64_t>(i) < count; ++i) {
                const std::string& expected = names[i];
                if (files[i].name != expected) {
                    fault(read->name + ": file " + str(static_cast<int64_t>(i) + 1) + " is " + files[i].name +
                          "; the answers give " + expected);
                    continue;
                }
                const std::optional<FileSize>& size = sizes[i];
                if (size && (files[i].fileLines != static_cast<int64_t>(size->lines) ||
                             files[i].fileBytes != static_cast<int64_t>(size->bytes())))
                    fault(read->name + ": " + expected + " has " + str(files[i].fileLines) + " lines, " +
                          str(files[i].fileBytes) + " bytes; the answers give " + str(static_cast<int64_t>(size->lines)) +
                          " lines, " + str(static_cast<int64_t>(size->bytes())) + " bytes");
            }
        }
    }
}

void Check::collectListed() {
    for (const auto& [phase, view] : views) {
        std::map<std::string, size_t> order;
        for (const ManifestRead* read : view.all()) {
            std::set<std::string> seen;
            for (const ManifestFile& f : read->m.files) {
                if (f.name.empty() || f.name == "." || f.name == ".." || f.name.find('/') != std::string::npos) {
                    fault(read->name + ": it lists '" + f.name + "', not a file name of this folder");
                    continue;
                }
                if (!seen.insert(f.name).second) {
                    fault(read->name + ": it lists " + f.name + " twice");
                    continue;
                }
                const size_t position = order.emplace(f.name, order.size()).first->second;
                Listed l;
                l.compressed = !read->m.compression.empty();
                l.path = (read->part ? partFileName(f.name, read->part) : f.name) + (l.compressed ? compressedEnding : "");
                l.base = f.name;
                l.phase = phase;
                l.part = read->part;
                l.manifest = read;
                l.entry = &f;
                l.order = position;
                listed.push_back(std::move(l));
            }
        }
    }
    std::stable_sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
        return a.phase != b.phase ? a.phase < b.phase : a.order != b.order ? a.order < b.order : a.part < b.part;
    });
}

void Check::checkStray() {
    std::map<std::string, const Listed*> listedPaths;
    for (const Listed& l : listed) listedPaths.emplace(l.path, &l);
    // Files present whole and in parts: base -> (whole, a part's name).
    std::map<std::string, std::pair<bool, std::string>> forms;
    for (const auto& [name, e] : entries) {
        if (!relevantPart(e.part)) continue;
        std::string fault;
        if (e.temporary) {
            const int32_t phase = e.kind == EntryName::manifest ? e.phase
                                  : e.kind == EntryName::dataFile ? phaseOfName(e.base)
                                                                  : -1;
            if (relevantPhase(phase)) fault = "a temporary file of a write that has not finished";
        } else if (e.kind == EntryName::dataFile) {
            const int32_t phase = phaseOfName(e.base);
            if (!relevantPhase(phase)) continue;
            auto& form = forms[e.base];
            if (e.part == 0)
                form.first = true;
            else if (form.second.empty())
                form.second = name;
            if (listedPaths.count(name)) continue;
            // The same part in the other form: compressed beside plain, or the reverse.
            const std::string other =
                e.compressed ? name.substr(0, name.size() - strlen(compressedEnding)) : name + compressedEnding;
            const auto otherListed = listedPaths.find(other);
            const auto view = views.find(phase);
            const int32_t parts = view == views.end() ? 0 : view->second.partCount;
            if (otherListed != listedPaths.end()) {
                const Listed& l = *otherListed->second;
                const std::string by = l.manifest->name + " lists " + other +
                                       (l.compressed ? " (compression " + l.manifest->m.compression + ")" : "");
                if (present.count(other))
                    fault = std::string("present both ") + (e.compressed ? "compressed and plain" : "plain and compressed") +
                            ": " + by;
                else
                    fault = std::string(e.compressed ? "compressed" : "not compressed") + ", but " + by;
            } else if (phase == 0)
                fault = "not a file of this data set";
            else if (e.part > 0 && parts > 0 && e.part > parts)
                fault = "part " + str(e.part) + ", beyond the " + str(parts) + " parts of phase " + str(phase);
            else if (e.part > 0 && parts > 0 && !view->second.whole && !view->second.parts.count(e.part))
                fault = "no manifest lists it (" + manifestName(phase, e.part) + " is missing)";
            else if (parts == 0 && phase > 0)
                fault = "no manifest lists it (phase " + str(phase) + " has none)";
            else
                fault = "no manifest lists it";
        }
        if (fault.empty()) continue;
        strayRows.push_back({name, std::nullopt, std::nullopt, {fault}});
        this->fault(name + ": " + fault);
    }
    for (const auto& [base, form] : forms)
        if (form.first && !form.second.empty())
            fault(base + ": present both whole (" + base + ") and in parts (" + form.second + " ...)");
}

void Check::compareFiles() {
    for (const Listed& l : listed) {
        const FileFigures& f = l.figures;
        const ManifestFile& m = *l.entry;
        Row row{l.path, std::nullopt, std::nullopt, {}};
        if (l.compressed && f.error.empty()) {
            // The compressed file as stored, then its text (where it could be decompressed whole).
            compressedBytes += f.compressedBytes;
            if (m.compressedBytes && f.compressedBytes != *m.compressedBytes)
                row.faults.push_back(str(f.compressedBytes) + " compressed bytes, the manifest says " +
                                     str(*m.compressedBytes));
            if (f.compressedCrc != m.compressedCrc)
                row.faults.push_back("compressed CRC-32 " + hex(f.compressedCrc, 8) + ", the manifest says " +
                                     hex(m.compressedCrc, 8));
        }
        if (!f.error.empty()) {
            row.faults.push_back(!present.count(l.path) ? "missing" : "cannot be read: " + f.error);
        } else if (!f.decodeError.empty()) {
            row.faults.push_back(f.decodeError);
        } else {
            row.lines = f.lines;
            row.bytes = f.bytes;
            if (f.bytes != m.bytes) row.faults.push_back(str(f.bytes) + " bytes, the manifest says " + str(m.bytes));
            if (f.lines != m.lines) row.faults.push_back(str(f.lines) + " lines, the manifest says " + str(m.lines));
            if (f.crc != m.crc) row.faults.push_back("CRC-32 " + hex(f.crc, 8) + ", the manifest says " + hex(m.crc, 8));
            if (m.sum && f.sum != *m.sum)
                row.faults.push_back("content sum " + hex(f.sum, 16) + ", the manifest says " + hex(*m.sum, 16));
            if (f.overlongLine) row.faults.push_back("a line longer than " + str(longestLine) + " bytes");
        }
        for (const std::string& text : row.faults) fault(l.path + ": " + text);
        rows.push_back(std::move(row));
    }
}

void Check::checkSums() {
    for (const auto& [phase, view] : views) {
        // The parts' figures add up only where every part is here.
        const int32_t parts = view.partCount;
        if (!view.complete() || (command.part != 0 && parts != 1)) continue;
        std::map<std::string, std::vector<const Listed*>> byBase;
        for (const Listed& l : listed)
            if (l.phase == phase && (l.part == 0 || l.part <= parts)) byBase[l.base].push_back(&l);
        for (const auto& [base, pieces] : byBase) {
            if (static_cast<int32_t>(pieces.size()) != parts) {
                fault(base + ": listed by " + str(static_cast<int64_t>(pieces.size())) + " of the " + str(parts) +
                      " part manifests of phase " + str(phase));
                continue;
            }
            const ManifestFile& first = *pieces.front()->entry;
            int64_t lines = 0, bytes = 0;
            uint64_t sum = 0;
            bool sums = true, agree = true;
            std::optional<uint64_t> fileSum;
            for (const Listed* l : pieces) {
                const ManifestFile& m = *l->entry;
                lines += m.lines;
                bytes += m.bytes;
                sums = sums && m.sum.has_value();
                if (m.sum) sum += *m.sum;
                agree = agree && m.fileLines == first.fileLines && m.fileBytes == first.fileBytes;
                if (m.fileSum) {
                    agree = agree && (!fileSum || *fileSum == *m.fileSum);
                    fileSum = m.fileSum;
                }
            }
            if (!agree) {
                fault(base + ": the part manifests disagree on the whole file's lines, bytes or content sum");
                continue;
            }
            if (lines != first.fileLines || bytes != first.fileBytes)
                fault(base + ": its parts hold " + str(lines) + " lines, " + str(bytes) +
                      " bytes; the manifests give the file " + str(first.fileLines) + " lines, " +
                      str(first.fileBytes) + " bytes");
            if (sums && fileSum && sum != *fileSum)
                fault(base + ": its parts' content sums add up to " + hex(sum, 16) + "; the manifest gives the file " +
                      hex(*fileSum, 16));
        }
    }
}

void Check::regenerate(RegenerationProgress& progress) {
    const auto started = Clock::now();
    for (const auto& [phase, view] : views) {
        // A phase without its manifests, or with parts missing, has been
        // named already: there is nothing whole to compare with.
        const ManifestRead* first = view.first();
        if (!first || !view.complete()) continue;
        const std::optional<GeneratorState> state = answersOf(first->m, phase);
        std::string problem = state ? dataSetProblem(*state) : "answers no data set has";
        if (!problem.empty()) {
            fault("phase " + str(phase) + " cannot be regenerated: " + problem);
            continue;
        }
        regenerated[phase] = regeneratePhase(*state, phase, progress, lineHashOf(phase));
        if (!regenerated[phase].failure.empty()) fault("phase " + str(phase) + ": " + regenerated[phase].failure);
    }
    regenerateSeconds = std::chrono::duration<double>(Clock::now() - started).count();
}

void Check::compareRegenerated() {
    // The files read, by phase and name.
    std::map<std::pair<int32_t, std::string>, std::vector<const Listed*>> found;
    for (const Listed& l : listed) found[{l.phase, l.base}].push_back(&l);
    for (const auto& [phase, regeneration] : regenerated) {
        const int32_t parts = views[phase].partCount;
        for (const RegeneratedFile& file : regeneration.files) {
            Row row{file.name + " (regenerated)", file.lines, file.bytes, {}};
            int64_t lines = 0, bytes = 0, pieces = 0;
            uint64_t sum = 0;
            bool unread = false;
            for (const Listed* l : found[{phase, file.name}]) {
                if (l->part > parts) continue;
                ++pieces;
                unread = unread || !l->figures.error.empty() || !l->figures.decodeError.empty();
                lines += l->figures.lines;
                bytes += l->figures.bytes;
                sum += l->figures.sum;
            }
            if (pieces == 0)
                row.faults.push_back("no manifest lists it");
            else if (unread || pieces != parts)
                row.faults.push_back("not compared: a part of it is missing or unreadable");
            else {
                if (lines != file.lines || bytes != file.bytes)
                    row.faults.push_back("the answers and seed give " + str(file.lines) + " lines, " + str(file.bytes) +
                                         " bytes; the files hold " + str(lines) + " lines, " + str(bytes) + " bytes");
                if (sum != file.sum)
                    row.faults.push_back("the answers and seed give the content sum " + hex(file.sum, 16) +
                                         "; the files hold " + hex(sum, 16));
            }
            for (const std::string& text : row.faults) fault(file.name + ": " + text);
            regeneratedRows.push_back(std::move(row));
        }
    }
}

int Check::report() const {
    for (const std::string& note : notes) printf("%s\n", note.c_str());
    int64_t lines = 0, bytes = 0;
    for (const auto* group : {&rows, &strayRows, &regeneratedRows}) {
        for (const Row& row : *group) {
            std::string verdict;
            for (const std::string& text : row.faults) verdict += (verdict.empty() ? "" : "; ") + text;
            printf("%-28s %12s lines %15s bytes  %s\n", row.name.c_str(), row.lines ? str(*row.lines).c_str() : "-",
                   row.bytes ? str(*row.bytes).c_str() : "-", verdict.empty() ? "ok" : verdict.c_str());
            if (group == &rows) {
                lines += row.lines.value_or(0);
                bytes += row.bytes.value_or(0);
            }
        }
    }
    std::string phases;
    for (const int32_t p : command.phases) phases += (phases.empty() ? "" : ",") + str(p);
    std::string summary = (command.phases.size() == 1 ? "phase " : "phases ") + phases + (command.part ? ", part " + str(command.part) : "") + ": " +
                          str(static_cast<int64_t>(rows.size())) + " files, " + str(lines) + " lines, " + str(bytes) +
                          " bytes" + (anyCompressed ? " (" + str(compressedBytes) + " compressed)" : "");
    char rate[96];
    snprintf(rate, sizeof rate, " read in %.2f s (%.2f GB/s)", readSeconds,
             readSeconds > 0 ? static_cast<double>(bytes) / readSeconds / 1e9 : 0.0);
    summary += rate;
    if (command.regenerate) {
        snprintf(rate, sizeof rate, "; content sums regenerated in %.2f s", regenerateSeconds);
        summary += rate;
    }
    summary += faults.empty() ? ": ok" : ": " + str(static_cast<int64_t>(faults.size())) + " fault" +
                                             (faults.size() == 1 ? "" : "s");
    printf("%s\n", summary.c_str());
    fflush(stdout);
    for (const std::string& text : faults) fprintf(stderr, "qemverify: %s\n", text.c_str());
    return faults.empty() ? 0 : 1;
}

int Check::run(bool progress) {
    listFolder();
    readManifests();
    checkAgreement();
    learnFileNames();
    checkPhases();
    collectListed();
    checkStray();
    std::vector<FileToRead> paths;
    for (const Listed& l : listed) {
        paths.push_back({l.path, l.compressed, lineHashOf(l.phase)});
        anyCompressed = anyCompressed || l.compressed;
    }
    uint64_t total = 0;
    for (const Listed& l : listed) total += static_cast<uint64_t>(l.entry->bytes);
    // The files are read on threads of their own while the writers
    // regenerate the content sums: the two take turns on the processors.
    std::atomic<uint64_t> bytesRead{0};
    RegenerationProgress regeneration;
    std::vector<FileFigures> figures;
    {
        std::optional<CheckProgress> display;
        if (progress) display.emplace(total, bytesRead, command.regenerate ? &regeneration : nullptr);
        std::thread reading([&] {
            const auto started = Clock::now();
            figures = readFiles(folder, paths, bytesRead);
            readSeconds = std::chrono::duration<double>(Clock::now() - started).count();
        });
        if (command.regenerate) regenerate(regeneration);
        reading.join();
    }
    for (size_t i = 0; i < listed.size(); ++i) listed[i].figures = std::move(figures[i]);
    compareFiles();
    checkSums();
    compareRegenerated();
    return report();
}

}  // namespace

int verifyDataSet(const VerifyCommand& command, bool progress) {
    const int folder = open(command.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        fprintf(stderr, "qemverify: '%s': %s\n", command.folder.c_str(), strerror(errno));
        return 2;
    }
    Check check(command, folder);
    const int status = check.run(progress);
    close(folder);
    return status;
}

}  // namespace qem
