#include "dataset/Manifests.h"

#include <algorithm>

#include "compress/Zstd.h"
#include "dataset/Folder.h"
#include "dataset/Tables.h"

namespace qemdata {

namespace {

std::string str(int64_t value) { return std::to_string(value); }


// "zstd:LEVEL", LEVEL 1 to 19: the compression qempart writes.
bool knownCompression(const std::string& compression) {
    return compression.starts_with("zstd:") && qem::zstdLevelOf(compression) != 0;
}

// "channels 10, seed 7": the settings in which b differs from a, as b says them.
std::string differing(const qem::Manifest& a, const qem::Manifest& b) {
    const std::pair<const char*, std::pair<int64_t, int64_t>> settings[] = {
        {"channels", {a.channels, b.channels}}, {"density-code", {a.densityCode, b.densityCode}},
        {"users", {a.users, b.users}},          {"seed", {a.seed, b.seed}},
        {"parts", {a.parts, b.parts}}};
    std::string text;
    for (const auto& [key, values] : settings)
        if (values.first != values.second) text += (text.empty() ? "" : ", ") + std::string(key) + " " + str(values.second);
    return text;
}

}  // namespace

std::string someOf(const std::vector<std::string>& names, size_t shown) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < shown; ++i) text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > shown) text += " and " + str(static_cast<int64_t>(names.size() - shown)) + " more";
    return text;
}

std::vector<std::string> phaseFileNames(int32_t phase, int64_t users) {
    if (phase == 1) {
        std::vector<std::string> names;
        for (const DimensionLayout& l : dimensionLayouts()) {
            names.push_back(l.hierFile);
            names.push_back(l.treeFile);
        }
        for (const char* fact : {"histsale.qem", "histinv.qem", "custship.qem", "prodcos.qem"}) names.push_back(fact);
        return names;
    }
    if (phase == 2) return {"budget.qem", "currsale.qem", "currinv.qem"};
    std::vector<std::string> names;
    for (int64_t u = 1; u <= users && u <= INT32_MAX; ++u) names.push_back(qem::queryFileName(static_cast<int32_t>(u)));
    return names;
}

ManifestSet ManifestSet::read(const Folder& folder, const Scope& scope, Faults& faults) {
    ManifestSet set;
    for (const Entry& e : folder.entries()) {
        if (e.kind != Entry::manifest || e.temporary || !scope.phases.count(e.phase)) continue;
        // In a part's scope only that part's manifests; a whole phase's is no part's.
        if (scope.part != 0 && e.part != scope.part) continue;
        std::string error;
        const std::optional<std::string> text = readSmallFile(folder.pathOf(e.name), error);
        std::optional<qem::Manifest> m;
        if (text) m = qem::Manifest::parse(*text, error);
        if (!m) {
            faults.push_back(e.name + ": not a readable manifest: " + error);
            continue;
        }
        const bool named = m->phase == e.phase && (e.part ? m->part == e.part : m->parts == 1 && m->part == 1);
        if (!named) {
            faults.push_back(e.name + ": it says it is part " + str(m->part) + " of " + str(m->parts) + " of phase " +
                             str(m->phase));
            continue;
        }
        if (!m->compression.empty() && !knownCompression(m->compression))
            faults.push_back(e.name + ": compression " + m->compression + ", not one qempart writes (zstd:1 to zstd:19)");
        if (m->version == 1)
            set.notes_.push_back(e.name + ": version 1, without content sums: lines, bytes and CRC-32 checked");
        set.sums = set.sums && m->version >= 2;
        set.read_.push_back(Read{e.name, e.phase, e.part, std::move(*m)});
    }
    if (set.read_.empty()) return set;
    std::stable_sort(set.read_.begin(), set.read_.end(), [](const Read& a, const Read& b) {
        return a.phase != b.phase ? a.phase < b.phase : a.part < b.part;
    });

    // All of one data set: the first manifest's answers, seed and parts.
    const Read& first = set.read_.front();
    std::vector<const Read*> agreeing;
    for (const Read& r : set.read_) {
        if (!r.m.sameDataSet(first.m)) {
            faults.push_back(r.name + " says " + differing(first.m, r.m) + ", where " + first.name + " says " +
                             differing(r.m, first.m) + ": manifests of different data sets");
            continue;
        }
        agreeing.push_back(&r);
    }
    const int64_t users = first.m.users;
    const int32_t parts = first.m.parts;
    set.users = users;
    for (int32_t phase = 1; phase <= 2; ++phase)
        for (const std::string& name : phaseFileNames(phase, 0)) set.namedPhase.emplace(name, phase);

    // One phase, one line hash: the sums of a file's parts add up only when
    // one hash made them (version 1, without sums, goes with either).
    std::map<int32_t, const Read*> hashed;
    for (const Read* r : agreeing) {
        if (r->m.version == 1) continue;
        const auto [at, isFirst] = hashed.emplace(r->phase, r);
        if (!isFirst && r->m.lineHash() != at->second->m.lineHash())
            faults.push_back(r->name + ": manifest version " + str(r->m.version) + ", where " + at->second->name +
                             " has version " + str(at->second->m.version) +
                             ": content sums of different line hashes in one phase");
    }
    for (const auto& [phase, r] : hashed) set.lineHashes[phase] = r->m.lineHash();

    // Every phase whole or in all of its parts.
    bool partForm = false;
    for (const Read* r : agreeing) partForm = partForm || r->part != 0;
    for (const Read* r : agreeing) set.byPhase[r->phase].push_back(r);
    std::vector<std::string> missing;
    for (const int32_t phase : scope.phases) {
        std::vector<const Read*>& list = set.byPhase[phase];
        const Read* whole = nullptr;
        std::set<int32_t> present;
        for (const Read* r : list) {
            if (r->part == 0)
                whole = r;
            else
                present.insert(r->part);
        }
        if (whole && !present.empty()) {
            faults.push_back(whole->name + " and " + qem::manifestName(phase, *present.begin()) +
                             " are both present: phase " + str(phase) + " was written whole and in parts");
            list.clear();
            continue;
        }
        // Parts beyond P are no part of this data set.
        for (auto it = list.begin(); it != list.end();) {
            if ((*it)->part > parts) {
                faults.push_back((*it)->name + ": part " + str((*it)->part) + ", beyond the " + str(parts) +
                                 " parts of phase " + str(phase) + " (" + first.name + ")");
                it = list.erase(it);
            } else {
                ++it;
            }
        }
        const size_t before = missing.size();
        if (scope.part != 0) {
            if (list.empty()) missing.push_back(qem::manifestName(phase, scope.part));
        } else if (!whole) {
            if (list.empty() && !partForm)
                missing.push_back(qem::manifestName(phase));
            else
                for (int32_t k = 1; k <= parts; ++k)
                    if (!present.count(k)) missing.push_back(qem::manifestName(phase, k));
        }
        if (missing.size() != before) list.clear();
    }
    if (!missing.empty())
        faults.push_back(someOf(missing) + (missing.size() == 1 ? " is" : " are") + " missing: " +
                         (scope.part != 0 ? "part " + str(scope.part) + " of every phase asked has its manifest"
                          : partForm      ? "each phase of the data set has " + str(parts) +
                                           (parts == 1 ? " part" : " parts") + " (" + first.name + ")"
                                          : "each phase of the data set has its manifest (" + first.name + " is present)"));

    // Each manifest lists its phase's files in writing order, and the part
    // manifests of a phase agree on the whole files.
    for (auto& [phase, list] : set.byPhase) {
        if (list.empty() || !scope.phases.count(phase)) continue;
        // A phase's file count from the answers, before any list of names
        // is made (a damaged manifest may claim any number of users).
        const int64_t count = phase == 3 ? users : static_cast<int64_t>(phaseFileNames(phase, 0).size());
        bool sound = true;
        for (const Read* r : list) {
            const auto& files = r->m.files;
            if (static_cast<int64_t>(files.size()) != count) {
                faults.push_back(r->name + ": it lists " + str(static_cast<int64_t>(files.size())) +
                                 " files; the answers give phase " + str(phase) + " " + str(count) + " files");
                sound = false;
            }
        }
        if (!sound) continue;
        const std::vector<std::string> names = phaseFileNames(phase, count);
        for (const Read* r : list) {
            const auto& files = r->m.files;
            for (size_t i = 0; i < files.size(); ++i)
                if (files[i].name != names[i]) {
                    faults.push_back(r->name + ": file " + str(static_cast<int64_t>(i) + 1) + " is " + files[i].name +
                                     "; the answers give " + names[i]);
                    sound = false;
                    break;
                }
        }
        if (!sound) continue;
        const Read& lead = *list.front();
        for (const Read* r : list) {
            for (size_t i = 0; i < names.size() && sound; ++i) {
                const qem::ManifestFile &a = lead.m.files[i], &b = r->m.files[i];
                sound = a.fileLines == b.fileLines && a.fileBytes == b.fileBytes &&
                        (!a.fileSum || !b.fileSum || *a.fileSum == *b.fileSum);
            }
            if (!sound) {
                faults.push_back(r->name + " gives other sizes of the whole files than " + lead.name +
                                 ": manifests of different data sets");
                break;
            }
        }
        if (!sound) continue;
        for (size_t i = 0; i < names.size(); ++i) {
            ExpectedFile file;
            file.name = names[i];
            file.phase = phase;
            file.wholeLines = lead.m.files[i].fileLines;
            file.wholeBytes = lead.m.files[i].fileBytes;
            std::optional<uint64_t> wholeSum;
            int64_t lines = 0;
            uint64_t sum = 0;
            bool allSums = true;
            for (const Read* r : list) {
                const qem::ManifestFile& m = r->m.files[i];
                ExpectedPart part;
                part.part = r->part == 0 ? 1 : r->part;
                part.manifest = r->name;
                part.offset = scope.part != 0 ? 0 : file.bytes();
                part.lines = m.lines;
                part.bytes = m.bytes;
                part.crc = m.crc;
                part.sum = m.sum;
                part.lineHash = r->m.lineHash();
                part.compressedBytes = m.compressedBytes;
                part.compressedCrc = m.compressedCrc;
                lines += m.lines;
                allSums = allSums && m.sum;
                if (m.sum) sum += *m.sum;
                if (m.fileSum) wholeSum = m.fileSum;
                file.parts.push_back(std::move(part));
            }
            if (scope.part == 0) {
                if (lines != file.wholeLines || file.bytes() != static_cast<uint64_t>(file.wholeBytes))
                    faults.push_back(file.name + ": its parts in the manifests of phase " + str(phase) + " add up to " +
                                     str(lines) + " lines and " + str(static_cast<int64_t>(file.bytes())) +
                                     " bytes, where " + lead.name + " gives the whole file " + str(file.wholeLines) +
                                     " lines and " + str(file.wholeBytes) + " bytes");
                else if (allSums && wholeSum && *wholeSum != sum)
                    faults.push_back(file.name + ": the content sums of its parts add up to " + qem::hex(sum, 16) +
                                     ", where " + lead.name + " gives the whole file " + qem::hex(*wholeSum, 16));
            }
            set.index.emplace(file.name, set.expected.size());
            set.expected.push_back(std::move(file));
        }
    }
    return set;
}

const ExpectedFile* ManifestSet::find(const std::string& name) const {
    const auto it = index.find(name);
    return it == index.end() ? nullptr : &expected[it->second];
}

int32_t ManifestSet::phaseOfName(const std::string& name) const {
    if (read_.empty()) return -1;
    if (const auto it = namedPhase.find(name); it != namedPhase.end()) return it->second;
    const int32_t user = qem::queryFileUser(name);
    return user > 0 && user <= users ? 3 : 0;
}

int32_t ManifestSet::partsOf(int32_t phase) const {
    const auto it = byPhase.find(phase);
    if (it == byPhase.end() || it->second.empty()) return 0;
    return it->second.front()->part == 0 ? 1 : it->second.front()->m.parts;
}

qem::LineHash ManifestSet::lineHashOf(int32_t phase) const {
    const auto it = lineHashes.find(phase);
    return it == lineHashes.end() ? qem::currentLineHash : it->second;
}

bool ManifestSet::wholePhase(int32_t phase) const {
    const auto it = byPhase.find(phase);
    return it != byPhase.end() && !it->second.empty() && it->second.front()->part == 0;
}

}  // namespace qemdata
