#include "dataset/DataSet.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "dataset/DataSetError.h"
#include "dataset/Lines.h"
#include "dataset/Pieces.h"
#include "integrity/Manifest.h"

namespace qemdata {

namespace {

// The bytes read at a time in search of a fault.
constexpr uint64_t faultPiece = 16u << 20;

// A data set without manifests: its files whole and plain, the query files
// qry001.qem ... from user 1 without a gap (with a user count: up to that
// user and no further).
std::vector<DataFile> filesWithoutManifests(const Folder& folder, int32_t userCount, const std::string& program) {
    auto refuse = [&](const std::string& entry, const std::string& what) {
        throw DataSetError(entry + ": " + what + ", and the folder holds no manifests: a data set " +
                           (what == "a part file" ? "in parts is read only with the manifests its parts were written "
                                                    "with (phaseN.manifest.partKKKK)"
                                                  : "compressed is read only with its manifests (phaseN.manifest), "
                                                    "which give the size of its text"));
    };
    auto whole = [&](const std::string& name) {
        const StoredForms* forms = folder.formsOf(name);
        if (!forms) throw DataSetError(name + ": file is missing");
        if (!forms->parts.empty()) {
            const StoredForms::Part& p = forms->parts.begin()->second;
            refuse(p.plain.empty() ? p.compressed : p.plain, "a part file");
        }
        if (!forms->wholeCompressed.empty()) refuse(forms->wholeCompressed, "a compressed file");
        std::error_code ec;
        DataFile::Part part;
        part.path = folder.pathOf(name);
        part.size = part.storedBytes = std::filesystem::file_size(part.path, ec);
        if (ec) throw DataSetError("cannot read '" + part.path + "': " + ec.message());
        return DataFile(name, {part}, false);
    };
    std::vector<DataFile> files;
    for (int32_t phase = 1; phase <= 2; ++phase)
        for (const std::string& name : phaseFileNames(phase, 0)) files.push_back(whole(name));
    std::vector<int32_t> users;
    for (const auto& [base, forms] : folder.dataFiles())
        if (const int32_t user = qem::queryFileUser(base)) users.push_back(user);
    std::sort(users.begin(), users.end());
    if (userCount > 0) {
        const std::string range = "--users " + std::to_string(userCount) + " asks for " + qem::queryFileName(1) + " .. " +
                                  qem::queryFileName(userCount) + " and no more, and " + std::to_string(users.size()) +
                                  " query files are present";
        if (!users.empty() && users.back() > userCount)
            throw DataSetError(qem::queryFileName(users.back()) + ": present; " + range);
        for (int32_t u = 1; u <= userCount; ++u)
            if (!folder.formsOf(qem::queryFileName(u))) throw DataSetError(qem::queryFileName(u) + ": file is missing; " + range);
    }
    if (users.empty()) throw DataSetError("qry001.qem: file is missing (no query files)");
    for (int32_t u = 1; u <= users.back(); ++u) files.push_back(whole(qem::queryFileName(u)));
    fprintf(stderr,
            "%s: warning: %s holds no manifests (phaseN.manifest), as data sets written before them: only the files' "
            "lines are checked, the data set's completeness is not proven\n",
            program.c_str(), folder.path().c_str());
    return files;
}

// The lines of every file against those the data set implies, before
// anything is loaded: from the members of the dimensions and the sizes of
// the other files.
DataSetSize checkCounts(const Dimensions& dims, const std::vector<TableFiles>& tables) {
    FileLines lines;
    for (const Dimension& dim : dims.all) {
        int64_t leaves = 0;
        for (const Member& m : dim.members) leaves += m.level == 0;
        lines[dim.layout.treeFile] = static_cast<int64_t>(dim.members.size());
        lines[dim.layout.hierFile] = leaves;
    }
    std::vector<std::string> queryFiles;
    for (const TableFiles& t : tables)
        for (const Source& src : t.sources) {
            const uint64_t stride = src.stride(*t.def);
            if (src.file->size() % stride == 0)
                lines[src.file->name()] = static_cast<int64_t>(src.file->size() / stride);
            else
                lines[src.file->name()] = std::nullopt;
            if (!t.def->file) queryFiles.push_back(src.file->name());
        }
    return checkLineCounts(lines, queryFiles);
}

}  // namespace

CompressedRead compressedCheck(ContentCheck& content) {
    return [&content](const DataFile& file, size_t stored, uint64_t bytes, uint32_t crc) {
        content.addCompressed(file, stored, bytes, crc);
    };
}

std::string compressedFileOf(const DataFile& file) {
    for (size_t k = 0; k < file.parts().size(); ++k)
        if (file.parts()[k].compressed) return file.storedName(k);
    return file.name();
}

std::optional<std::string> earlierBadLine(const Source& src, const TableDef& def, uint64_t upTo) {
    std::vector<char> data;
    // Whole lines at a time: each piece starts on a line.
    const uint64_t step = lineStep(faultPiece, src.stride(def));
    DataFile::Reader reader(*src.file, 0);
    for (uint64_t offset = 0; offset < upTo; offset += step) {
        const uint64_t n = std::min<uint64_t>(step, upTo - offset);
        data.resize(static_cast<size_t>(n));
        reader.read(data.data(), data.size());
        try {
            lines::forEach(*src.file, data.data(), data.size(), offset, def.lineLength, src.lineEnd,
                           [](const char*, uint64_t) {});
        } catch (const DataSetError& e) {
            return std::string(e.what());
        }
    }
    return std::nullopt;
}

std::optional<std::string> compressedFault(const DataFile& file, ContentCheck& content) {
    std::vector<char> data(static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(faultPiece, file.size()))));
    try {
        DataFile::Reader reader(file, 0, compressedCheck(content));
        for (uint64_t offset = 0; offset < file.size(); offset += data.size()) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(data.size(), file.size() - offset));
            reader.read(data.data(), n);
        }
        reader.read(data.data(), 0);
    } catch (const DataSetError& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

void DataSet::openFiles(int32_t requestedUsers, const std::string& program, bool keep) {
    const ManifestSet& m = check.manifests;
    if (!m.empty() && requestedUsers > 0 && requestedUsers != m.settings().users)
        throw DataSetError("--users " + std::to_string(requestedUsers) + ": the data set has " +
                           std::to_string(m.settings().users) + " users (" + m.firstName() + ")");
    if (m.empty()) check.files = filesWithoutManifests(check.folder, requestedUsers, program);
    std::map<std::string, const DataFile*> byName;
    for (const DataFile& f : check.files) byName.emplace(f.name(), &f);
    for (const DimensionLayout& l : dimensionLayouts())
        for (const char* name : {l.hierFile, l.treeFile})
            if (byName.count(name)) dimensionFiles.emplace(name, byName.at(name));
    for (const TableDef& def : factTables()) {
        TableFiles t;
        t.def = &def;
        for (const DataFile& f : check.files) {
            const int32_t user = qem::queryFileUser(f.name());
            if (def.file ? f.name() == def.file : user > 0) t.sources.push_back(Source{&f, user, 1});
        }
        tables.push_back(std::move(t));
    }
    content = ContentCheck::of(m, check.files, keep ? ContentCheck::Faults::kept : ContentCheck::Faults::thrown);
    for (const DataFile& f : check.files)
        if (f.anyCompressed() && !DataFile::canDecompress())
            throw DataSetError(compressedFileOf(f) + ": a compressed file, and this " + program +
                               " was built without Zstandard (install libzstd-dev and build again)");
}

void DataSet::checkFiles(bool readThroughContent) {
    // The dimension files' bytes are checked as they are read (before their
    // lines) where the caller reads no file itself.
    ContentCheck& c = *content;
    const BytesRead seen = [&](const DataFile& file, uint64_t offset, const char* bytes, size_t length) {
        c.add(file, offset, bytes, length);
    };
    dims = readDimensions([&](const std::string& name) -> const DataFile& { return *dimensionFiles.at(name); },
                          readThroughContent ? seen : BytesRead(), readThroughContent ? compressedCheck(c) : nullptr);
    checkMonths(dims);
    for (TableFiles& t : tables)
        for (Source& s : t.sources) s.lineEnd = lines::lineEndOf(*s.file, t.def->lineLength);
    size = checkCounts(dims, tables);
    const ManifestSet& m = check.manifests;
    size.usersChecked = !m.empty();
    if (!m.empty() && (m.settings().channels != size.channels || m.settings().densityCode != size.densityCode))
        throw DataSetError("the files imply " + std::to_string(size.channels) + " channels and density code " +
                           std::to_string(size.densityCode) + ", where " + m.firstName() + " says " +
                           std::to_string(m.settings().channels) + " channels and density code " +
                           std::to_string(m.settings().densityCode));
}

std::unique_ptr<DataSet> DataSet::open(const std::string& folder, int32_t users, const std::string& program) {
    std::unique_ptr<DataSet> d(new DataSet);
    d->check = FolderCheck::run(folder, Scope{});
    if (!d->check.faults.empty()) throw DataSetError(d->check.faults.front());
    d->openFiles(users, program, false);
    d->checkFiles(true);
    d->size.usersChecked = d->size.usersChecked || users > 0;
    return d;
}

std::unique_ptr<DataSet> DataSet::inspect(const std::string& folder, const Scope& scope, Faults& faults) {
    std::unique_ptr<DataSet> d(new DataSet);
    d->check = FolderCheck::run(folder, scope);
    faults.insert(faults.end(), d->check.faults.begin(), d->check.faults.end());
    try {
        if (d->check.manifests.empty()) {
            std::string phases;
            for (const int32_t p : scope.phases) phases += (phases.empty() ? "" : ",") + std::to_string(p);
            faults.push_back(
                scope.whole()
                    ? "no manifests (phaseN.manifest, or phaseN.manifest.partKKKK for a data set in parts): nothing "
                      "proves the data set whole"
                    : "no manifests of phase" + std::string(scope.phases.size() == 1 ? " " : "s ") + phases +
                          (scope.part ? " of part " + std::to_string(scope.part) : "") +
                          " (phaseN.manifest, or phaseN.manifest.partKKKK for a data set in parts)");
            return d;
        }
        if (!scope.whole()) {
            d->content = ContentCheck::of(d->check.manifests, d->check.files, ContentCheck::Faults::kept);
            return d;
        }
        d->openFiles(0, "qemverify", true);
        if (d->check.faults.empty()) d->checkFiles(false);
    } catch (const DataSetError& e) {
        faults.push_back(e.what());
    }
    return d;
}

}  // namespace qemdata
