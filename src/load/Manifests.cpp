#include "load/Manifests.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "integrity/Crc32.h"
#include "load/LoadError.h"

namespace qemload {

namespace fs = std::filesystem;

namespace {

// A manifest found in the folder: the phase and part its name gives (no part
// for "phaseN.manifest").
struct Found {
    std::string name;
    int32_t phase = 0;
    std::optional<int32_t> part;
    qem::Manifest manifest;
};

// The phase and part of "phaseN.manifest" or "phaseN.manifest.partKKKK"
// (N 1 to 3, four digits K), or false for any other name.
bool manifestNameOf(const std::string& name, int32_t& phase, std::optional<int32_t>& part) {
    for (int32_t p = 1; p <= 3; ++p) {
        const std::string whole = qem::manifestName(p);
        if (name == whole) {
            phase = p;
            part.reset();
            return true;
        }
        const std::string mark = whole + ".part";
        if (name.size() != mark.size() + 4 || name.compare(0, mark.size(), mark) != 0) continue;
        int32_t k = 0;
        for (size_t i = mark.size(); i < name.size(); ++i) {
            if (name[i] < '0' || name[i] > '9') return false;
            k = k * 10 + (name[i] - '0');
        }
        phase = p;
        part = k;
        return true;
    }
    return false;
}

std::string readText(const std::string& path, const std::string& name) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw LoadError(name + ": cannot be read: " + strerror(errno));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw LoadError(name + ": cannot be read: " + strerror(errno));
    return text;
}

// "channels 10, seed 7": the settings in which b differs from a, as b says them.
std::string differing(const qem::Manifest& a, const qem::Manifest& b) {
    const std::pair<const char*, std::pair<int64_t, int64_t>> settings[] = {
        {"channels", {a.channels, b.channels}}, {"density-code", {a.densityCode, b.densityCode}},
        {"users", {a.users, b.users}},          {"seed", {a.seed, b.seed}},
        {"parts", {a.parts, b.parts}}};
    std::string text;
    for (const auto& [key, values] : settings)
        if (values.first != values.second) text += (text.empty() ? "" : ", ") + std::string(key) + " " + std::to_string(values.second);
    return text;
}

std::string hex(uint64_t value, int digits) {
    char text[24];
    snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

// "a, b and 3 more": at most `shown` names of a list.
std::string someOf(const std::vector<std::string>& names, size_t shown = 6) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < shown; ++i) text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > shown) text += " and " + std::to_string(names.size() - shown) + " more";
    return text;
}

}  // namespace

DataSetManifests DataSetManifests::read(const std::string& folder) {
    std::vector<Found> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        Found f;
        f.name = it->path().filename().string();
        if (!manifestNameOf(f.name, f.phase, f.part)) continue;
        std::string error;
        const auto parsed = qem::Manifest::parse(readText(it->path().string(), f.name), error);
        if (!parsed) throw LoadError(f.name + ": not a readable manifest: " + error);
        f.manifest = *parsed;
        found.push_back(std::move(f));
    }
    if (ec) throw LoadError("cannot list folder '" + folder + "': " + ec.message());
    DataSetManifests set;
    if (found.empty()) return set;
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.phase != b.phase ? a.phase < b.phase : a.part.value_or(0) < b.part.value_or(0);
    });

    // Each is what its name says, and all are of one data set.
    for (const Found& f : found) {
        const qem::Manifest& m = f.manifest;
        const bool named = m.phase == f.phase && (f.part ? m.part == *f.part : m.parts == 1);
        if (!named)
            throw LoadError(f.name + ": it says it is part " + std::to_string(m.part) + " of " + std::to_string(m.parts) +
                            " of phase " + std::to_string(m.phase));
        if (!m.sameDataSet(found.front().manifest))
            throw LoadError(f.name + " says " + differing(found.front().manifest, m) + ", where " + found.front().name +
                            " says " + differing(m, found.front().manifest) +
                            ": manifests of different data sets");
        set.sums = set.sums && m.version >= 2;
    }
    set.first = found.front().manifest;
    set.firstManifest = found.front().name;
    const int32_t parts = set.first.parts;

    // Every phase whole or in all of its parts.
    bool partForm = false;
    for (const Found& f : found) partForm = partForm || f.part.has_value();
    std::vector<std::string> missing;
    std::vector<std::vector<const Found*>> phases(4);
    for (const Found& f : found) phases[static_cast<size_t>(f.phase)].push_back(&f);
    for (int32_t phase = 1; phase <= 3; ++phase) {
        const auto& list = phases[static_cast<size_t>(phase)];
        std::set<int32_t> present;
        bool whole = false;
        for (const Found* f : list) {
            if (f->part)
                present.insert(*f->part);
            else
                whole = true;
        }
        if (whole && !present.empty())
            throw LoadError(qem::manifestName(phase) + " and " + qem::manifestName(phase, *present.begin()) +
                            " are both present: phase " + std::to_string(phase) + " was written whole and in parts");
        if (whole) continue;
        if (present.empty() && !partForm) {
            missing.push_back(qem::manifestName(phase));
            continue;
        }
        for (int32_t k = 1; k <= parts; ++k)
            if (!present.count(k)) missing.push_back(qem::manifestName(phase, k));
    }
    if (!missing.empty())
        throw LoadError(someOf(missing) + (missing.size() == 1 ? " is" : " are") + " missing: " +
                        (partForm ? "each phase of the data set has " + std::to_string(parts) +
                                        (parts == 1 ? " part" : " parts") + " (" + set.firstManifest + ")"
                                  : "each phase of the data set has its manifest (" + set.firstManifest +
                                        " is present)"));

    // The files of each phase, part by part.
    for (int32_t phase = 1; phase <= 3; ++phase) {
        const auto& list = phases[static_cast<size_t>(phase)];
        const Found& lead = *list.front();
        for (const Found* f : list) {
            const auto& files = f->manifest.files;
            bool same = files.size() == lead.manifest.files.size();
            for (size_t i = 0; same && i < files.size(); ++i) {
                const qem::ManifestFile& a = lead.manifest.files[i];
                same = files[i].name == a.name && files[i].fileLines == a.fileLines && files[i].fileBytes == a.fileBytes;
            }
            if (!same)
                throw LoadError(f->name + " lists other files, or other sizes of them, than " + lead.name +
                                ": manifests of different data sets");
        }
        for (size_t i = 0; i < lead.manifest.files.size(); ++i) {
            const qem::ManifestFile& whole = lead.manifest.files[i];
            ExpectedFile file;
            file.phase = phase;
            int64_t lines = 0;
            uint64_t sum = 0;
            bool allSums = true;
            for (const Found* f : list) {
                const qem::ManifestFile& m = f->manifest.files[i];
                ExpectedPart part;
                part.part = f->manifest.part;
                part.manifest = f->name;
                part.offset = file.bytes();
                part.lines = m.lines;
                part.bytes = m.bytes;
                part.crc = m.crc;
                part.sum = m.sum;
                part.lineHash = f->manifest.lineHash();
                part.compressedBytes = m.compressedBytes;
                part.compressedCrc = m.compressedCrc;
                lines += m.lines;
                allSums = allSums && m.sum;
                if (m.sum) sum += *m.sum;
                file.parts.push_back(std::move(part));
            }
            if (lines != whole.fileLines || file.bytes() != static_cast<uint64_t>(whole.fileBytes))
                throw LoadError(whole.name + ": its parts in the manifests of phase " + std::to_string(phase) +
                                " add up to " + std::to_string(lines) + " lines and " + std::to_string(file.bytes()) +
                                " bytes, where " + lead.name + " gives the whole file " +
                                std::to_string(whole.fileLines) + " lines and " + std::to_string(whole.fileBytes) +
                                " bytes");
            if (allSums && whole.fileSum && *whole.fileSum != sum)
                throw LoadError(whole.name + ": the content sums of its parts add up to " + hex(sum, 16) + ", where " +
                                lead.name + " gives the whole file " + hex(*whole.fileSum, 16));
            if (const auto earlier = set.expected.find(whole.name); earlier != set.expected.end())
                throw LoadError(whole.name + ": listed by the manifests of phase " +
                                std::to_string(earlier->second.phase) + " and of phase " + std::to_string(phase));
            set.expected.emplace(whole.name, std::move(file));
        }
    }
    return set;
}

const ExpectedFile* DataSetManifests::find(const std::string& name) const {
    const auto it = expected.find(name);
    return it == expected.end() ? nullptr : &it->second;
}

std::string DataSetManifests::whereIs(const DataFile& file, const ExpectedPart& part) const {
    const auto& stored = file.parts();
    if (file.storedInParts()) {
        const size_t k = static_cast<size_t>(part.part - 1);
        return qem::partFileName(file.name(), part.part) +
               (k < stored.size() && stored[k].compressed ? qem::compressedEnding : "");
    }
    const std::string name = fs::path(stored.front().path).filename().string();
    if (first.parts == 1) return name;
    return name + " (part " + std::to_string(part.part) + " of " + std::to_string(first.parts) + ": bytes " +
           std::to_string(part.offset + 1) + " to " + std::to_string(part.offset + static_cast<uint64_t>(part.bytes)) +
           (stored.front().compressed ? " of its text)" : ")");
}

std::optional<DataSetManifests::Compressed> DataSetManifests::compressedOf(const DataFile& file, size_t stored) const {
    const ExpectedFile* e = find(file.name());
    if (!e || stored >= file.parts().size() || !file.parts()[stored].compressed) return std::nullopt;
    if (file.storedInParts()) {
        if (stored >= e->parts.size() || !e->parts[stored].compressedBytes) return std::nullopt;
        const ExpectedPart& p = e->parts[stored];
        return Compressed{static_cast<uint64_t>(*p.compressedBytes), p.compressedCrc, p.manifest + " says"};
    }
    // A whole compressed file of compressed parts: their frames joined.
    Compressed joined;
    for (const ExpectedPart& p : e->parts) {
        if (!p.compressedBytes) return std::nullopt;
        const uint64_t bytes = static_cast<uint64_t>(*p.compressedBytes);
        joined.crc = joined.bytes == 0 ? p.compressedCrc : qem::Crc32::combine(joined.crc, p.compressedCrc, bytes);
        joined.bytes += bytes;
    }
    joined.source = e->parts.size() == 1 ? e->parts.front().manifest + " says"
                                         : "its compressed parts joined (" + e->parts.front().manifest + " to " +
                                               e->parts.back().manifest + ") make";
    return joined;
}

void DataSetManifests::checkStored(const std::vector<DataFile*>& files) const {
    std::set<std::string> loaded;
    for (DataFile* file : files) {
        loaded.insert(file->name());
        const ExpectedFile* e = find(file->name());
        if (!e) throw LoadError(file->name() + ": no manifest lists it (the manifests list the data set's files)");
        const auto& stored = file->parts();
        if (!file->storedInParts()) {
            const std::string says = e->parts.size() == 1 ? e->parts.front().manifest + " says "
                                                           : "its parts in the manifests of phase " +
                                                                 std::to_string(e->phase) + " add up to ";
            if (!stored.front().compressed) {
                if (file->size() != e->bytes())
                    throw LoadError(file->name() + ": " + std::to_string(file->size()) + " bytes, where " + says +
                                    std::to_string(e->bytes()));
                continue;
            }
            file->setTextSize(0, e->bytes(), says + std::to_string(e->bytes()) + " bytes");
            if (const auto c = compressedOf(*file, 0); c && stored.front().storedBytes != c->bytes)
                throw LoadError(fs::path(stored.front().path).filename().string() + ": " +
                                std::to_string(stored.front().storedBytes) + " bytes, where " + c->source + " " +
                                std::to_string(c->bytes) + " (beside manifests of compressed parts, " +
                                file->name() + qem::compressedEnding + " must be their part files joined with cat)");
            continue;
        }
        const auto storedName = [&](size_t k) {
            return qem::partFileName(file->name(), static_cast<int32_t>(k) + 1) +
                   (stored[k].compressed ? qem::compressedEnding : "");
        };
        std::string firstPart = fs::path(stored.front().path).filename().string();
        if (stored.front().compressed) firstPart.resize(firstPart.size() - std::string(qem::compressedEnding).size());
        if (firstPart != qem::partFileName(file->name(), 1))
            throw LoadError(firstPart + ": not a part the manifests describe: their parts run from " +
                            qem::partFileName(file->name(), 1) + " to " +
                            qem::partFileName(file->name(), first.parts));
        if (stored.size() > e->parts.size())
            throw LoadError(qem::partFileName(file->name(), static_cast<int32_t>(e->parts.size()) + 1) +
                            ": not a part the manifests describe: the data set has " + std::to_string(first.parts) +
                            (first.parts == 1 ? " part" : " parts") + " (" + firstManifest + ")");
        for (size_t k = 0; k < e->parts.size(); ++k) {
            const ExpectedPart& p = e->parts[k];
            if (k >= stored.size())
                throw LoadError(qem::partFileName(file->name(), p.part) + ": file is missing (" + p.manifest +
                                " describes it)");
            if (!stored[k].compressed) {
                if (stored[k].size != static_cast<uint64_t>(p.bytes))
                    throw LoadError(storedName(k) + ": " + std::to_string(stored[k].size) + " bytes, where " +
                                    p.manifest + " says " + std::to_string(p.bytes));
                continue;
            }
            file->setTextSize(k, static_cast<uint64_t>(p.bytes),
                              p.manifest + " says " + std::to_string(p.bytes) + " bytes");
            if (p.compressedBytes && stored[k].storedBytes != static_cast<uint64_t>(*p.compressedBytes))
                throw LoadError(storedName(k) + ": " + std::to_string(stored[k].storedBytes) + " bytes, where " +
                                p.manifest + " says " + std::to_string(*p.compressedBytes) + " compressed bytes");
        }
    }
    std::vector<std::string> unloaded;
    for (const auto& [name, file] : expected)
        if (!loaded.count(name)) unloaded.push_back(name);
    if (!unloaded.empty())
        throw LoadError(someOf(unloaded) + ": listed by the manifests, but not " +
                        (unloaded.size() == 1 ? "a file" : "files") + " of a data set of " +
                        std::to_string(first.users) + " users");
}

}  // namespace qemload
