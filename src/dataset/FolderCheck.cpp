#include "dataset/FolderCheck.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "dataset/Tables.h"

namespace qemdata {

namespace {

std::string str(int64_t value) { return std::to_string(value); }

// The size of a stored file; nothing, with the reason, when it is no
// regular file that can be looked at.
std::optional<uint64_t> storedSize(const std::string& path, std::string& error) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        error = strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "not a regular file";
        return std::nullopt;
    }
    return static_cast<uint64_t>(status.st_size);
}

class Checker {
public:
    Checker(FolderCheck& c, const Scope& s) : check(c), scope(s) {}

    void storedFiles() {
        for (const ExpectedFile& e : check.manifests.files()) {
            const StoredForms* forms = check.folder.formsOf(e.name);
            std::optional<DataFile> file = forms ? stored(e, *forms) : std::nullopt;
            if (!forms) fault(e.name + ": file is missing" + (e.parts.size() > 1 || scope.part != 0 ? " (neither whole nor in parts)" : ""));
            if (file) check.files.push_back(std::move(*file));
        }
    }

    void strays() {
        const ManifestSet& m = check.manifests;
        for (const Entry& e : check.folder.entries()) {
            if (e.kind == Entry::manifest) {
                if (e.temporary && scope.phases.count(e.phase) && (scope.part == 0 || e.part == scope.part))
                    fault(e.name + ": a temporary file of a write that has not finished");
                continue;
            }
            if (e.kind != Entry::dataFile) continue;
            if (scope.part != 0 && (!e.isPart || e.part != scope.part)) continue;
            const int32_t phase = m.phaseOfName(e.base);
            if (phase > 0 && !scope.phases.count(phase)) continue;
            if (e.temporary) {
                fault(e.name + ": a temporary file of a write that has not finished");
            } else if (phase == 0) {
                const int32_t user = qem::queryFileUser(e.base);
                fault(e.name + ": not a file of this data set" +
                      (user > 0 ? " (its " + str(m.settings().users) + " users (" + m.firstName() + ") have " +
                                      qem::queryFileName(1) + " .. " +
                                      qem::queryFileName(static_cast<int32_t>(m.settings().users)) + ")"
                                : ""));
            } else if (!m.find(e.base)) {
                fault(e.name + ": no manifest lists it (the manifests of phase " + str(phase) + " are at fault)");
            }
        }
    }

private:
    void fault(std::string text) { check.faults.push_back(std::move(text)); }

    // A stored file: its path, whether compressed, its bytes and the size of
    // its text; nothing when it cannot be looked at (a fault).
    std::optional<DataFile::Part> part(const std::string& entry, bool compressed, uint64_t textBytes,
                                       const std::string& says) {
        std::string error;
        const auto size = storedSize(check.folder.pathOf(entry), error);
        if (!size) {
            fault(entry + ": cannot be read: " + error);
            return std::nullopt;
        }
        DataFile::Part p;
        p.path = check.folder.pathOf(entry);
        p.compressed = compressed;
        p.storedBytes = *size;
        p.size = textBytes;
        if (compressed) {
            p.sizeSource = says + " " + str(static_cast<int64_t>(textBytes));
        } else if (*size != textBytes) {
            fault(entry + ": " + str(static_cast<int64_t>(*size)) + " bytes, where " + says + " " +
                  str(static_cast<int64_t>(textBytes)));
            return std::nullopt;
        }
        return p;
    }

    std::optional<DataFile> stored(const ExpectedFile& e, const StoredForms& f) {
        const size_t before = check.faults.size();
        const bool whole = scope.part == 0 && (!f.whole.empty() || !f.wholeCompressed.empty());
        if (scope.part == 0 && !f.whole.empty() && !f.wholeCompressed.empty())
            fault(f.whole + " and " + f.wholeCompressed + " are both present: the same file compressed and not");
        for (const auto& [k, forms] : f.parts)
            if ((scope.part == 0 || k == scope.part) && !forms.plain.empty() && !forms.compressed.empty())
                fault(forms.plain + " and " + forms.compressed + " are both present: the same part compressed and not");
        if (whole && !f.parts.empty()) {
            const StoredForms::Part& first = f.parts.begin()->second;
            fault(e.name + ": both the whole file (" + (f.whole.empty() ? f.wholeCompressed : f.whole) +
                  ") and parts (" + (first.plain.empty() ? first.compressed : first.plain) + " ...) are present");
        }
        if (check.faults.size() != before) return std::nullopt;

        if (whole) {
            const bool compressed = f.whole.empty();
            const std::string says = e.parts.size() == 1 ? e.parts.front().manifest + " says"
                                                        : "its parts in the manifests of phase " + str(e.phase) +
                                                              " add up to";
            auto p = part(compressed ? f.wholeCompressed : f.whole, compressed, e.bytes(), says);
            if (!p) return std::nullopt;
            DataFile file(e.name, {std::move(*p)}, false);
            if (!compressedSizesAgree(e, file)) return std::nullopt;
            return file;
        }

        // In parts: those the manifests describe, 1 to P (in a part's scope, K).
        const int32_t parts = scope.part != 0 ? scope.part : static_cast<int32_t>(e.parts.size());
        for (const auto& [k, forms] : f.parts) {
            if (scope.part != 0 || (k >= 1 && k <= parts)) continue;
            fault((forms.plain.empty() ? forms.compressed : forms.plain) +
                  ": not a part the manifests describe: the data set has " + str(parts) +
                  (parts == 1 ? " part" : " parts") + " (" + check.manifests.firstName() + ")");
        }
        std::vector<std::string> missing, describing;
        for (const ExpectedPart& x : e.parts)
            if (!f.parts.count(x.part)) {
                missing.push_back(qem::partFileName(e.name, x.part));
                describing.push_back(x.manifest);
            }
        if (!missing.empty()) {
            if (missing.size() == e.parts.size() && scope.part == 0)
                fault(e.name + ": file is missing (neither whole nor in parts)");
            else
                fault(someOf(missing) + (missing.size() == 1 ? ": file is missing (" : ": files are missing (") +
                      someOf(describing) + (missing.size() == 1 ? " describes it)" : " describe them)"));
        }
        if (check.faults.size() != before) return std::nullopt;
        std::vector<DataFile::Part> list;
        for (const ExpectedPart& x : e.parts) {
            const StoredForms::Part& forms = f.parts.at(x.part);
            const bool compressed = forms.plain.empty();
            auto p = part(compressed ? forms.compressed : forms.plain, compressed, static_cast<uint64_t>(x.bytes),
                          x.manifest + " says");
            if (p) list.push_back(std::move(*p));
        }
        if (check.faults.size() != before) return std::nullopt;
        DataFile file(e.name, std::move(list), true);
        if (!compressedSizesAgree(e, file)) return std::nullopt;
        return file;
    }

    // The size of every stored file that its manifest describes compressed,
    // before a byte is read.
    bool compressedSizesAgree(const ExpectedFile& e, const DataFile& file) {
        bool agree = true;
        for (size_t k = 0; k < file.parts().size(); ++k) {
            const auto c = FolderCheck::compressedOf(e, file, k);
            const uint64_t stored = file.parts()[k].storedBytes;
            if (!c || stored == c->bytes) continue;
            fault(file.storedName(k) + ": " + str(static_cast<int64_t>(stored)) + " bytes, where " + c->source + " " +
                  str(static_cast<int64_t>(c->bytes)) + " compressed bytes");
            agree = false;
        }
        return agree;
    }

    FolderCheck& check;
    const Scope& scope;
};

}  // namespace

FolderCheck FolderCheck::run(const std::string& path, const Scope& scope) {
    FolderCheck c;
    c.folder = Folder::list(path);
    // While the state file is there, the phases after the one it records
    // are not done, whatever else the folder holds.
    if (c.folder.stateFilePresent() && (!c.folder.statePhase() || *c.folder.statePhase() < *scope.phases.rbegin()))
        c.faults.push_back(c.folder.unfinishedFault());
    c.manifests = ManifestSet::read(c.folder, scope, c.faults);
    if (c.manifests.empty()) return c;
    Checker checker(c, scope);
    checker.storedFiles();
    checker.strays();
    return c;
}

std::optional<FolderCheck::Compressed> FolderCheck::compressedOf(const ExpectedFile& e, const DataFile& file,
                                                                  size_t stored) {
    // Only a file that its manifest describes compressed: a part written
    // compressed, or a whole file of a phase written whole and compressed
    // (a join's). A whole file compressed by hand, or parts compressed or
    // decompressed after they were written, are checked by their text alone.
    if (stored >= file.parts().size() || !file.parts()[stored].compressed) return std::nullopt;
    if (!file.storedInParts()) {
        if (e.parts.size() != 1 || !e.parts.front().compressedBytes) return std::nullopt;
        const ExpectedPart& p = e.parts.front();
        return Compressed{static_cast<uint64_t>(*p.compressedBytes), p.compressedCrc, p.manifest + " says"};
    }
    // A file in parts holds them in the order of the manifests' parts.
    if (stored >= e.parts.size() || !e.parts[stored].compressedBytes) return std::nullopt;
    const ExpectedPart& p = e.parts[stored];
    return Compressed{static_cast<uint64_t>(*p.compressedBytes), p.compressedCrc, p.manifest + " says"};
}

std::string FolderCheck::whereIs(const DataFile& file, const ExpectedFile& e, const ExpectedPart& part) {
    if (file.storedInParts()) {
        for (size_t k = 0; k < file.parts().size() && k < e.parts.size(); ++k)
            if (e.parts[k].part == part.part) return file.storedName(k);
        return qem::partFileName(e.name, part.part);
    }
    const std::string name = file.parts().empty() ? e.name : file.storedName(0);
    if (e.parts.size() == 1) return name;
    return name + " (part " + str(part.part) + " of " + str(static_cast<int64_t>(e.parts.size())) + ": bytes " +
           str(static_cast<int64_t>(part.offset + 1)) + " to " +
           str(static_cast<int64_t>(part.offset + static_cast<uint64_t>(part.bytes))) +
           (!file.parts().empty() && file.parts().front().compressed ? " of its text)" : ")");
}

}  // namespace qemdata
