#include "dataset/DataSet.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "integrity/Manifest.h"
#include "dataset/DataSetError.h"
#include "dataset/Lines.h"

namespace qemdata {

namespace fs = std::filesystem;

namespace {

const char* const stateFileName = "qem1r2genstate";

// The bytes read at a time in search of a fault.
constexpr uint64_t faultPiece = 16u << 20;

// The query files qry001.qem ... must run from user 1 without a gap; with a
// user count, up to that user and no further (`asker` says where the count
// comes from: "--users 10 asks").
std::vector<Source> querySources(const std::string& folder, int32_t userCount, const std::string& asker) {
    std::vector<int32_t> users;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string n = it->path().filename().string();
        if (n.size() < 10 || n.compare(0, 3, "qry") != 0) continue;
        size_t digits = 3;
        while (digits < n.size() && n[digits] >= '0' && n[digits] <= '9') ++digits;
        if (digits - 3 < 3 || digits - 3 > 9 || n.compare(digits, 4, ".qem") != 0) continue;
        const std::string rest = n.substr(digits + 4);
        if (!rest.empty() && rest.compare(0, 5, ".part") != 0 && rest != qem::compressedEnding) continue;
        const int32_t user = static_cast<int32_t>(std::stol(n.substr(3, digits - 3)));
        if (user > 0 && queryFileName(user) == n.substr(0, digits + 4)) users.push_back(user);
    }
    if (ec) throw DataSetError("cannot list folder '" + folder + "': " + ec.message());
    std::sort(users.begin(), users.end());
    users.erase(std::unique(users.begin(), users.end()), users.end());
    if (userCount > 0) {
        const std::string range = asker + " for " + queryFileName(1) + " .. " +
                                  queryFileName(userCount) + " and no more, and " + std::to_string(users.size()) +
                                  " query files are present";
        if (!users.empty() && users.back() > userCount) throw DataSetError(queryFileName(users.back()) + ": present; " + range);
        for (int32_t u = 1; u <= userCount; ++u)
            if (!DataFile::exists(folder, queryFileName(u))) throw DataSetError(queryFileName(u) + ": file is missing; " + range);
    }
    if (users.empty()) throw DataSetError("qry001.qem: file is missing (no query files)");
    std::vector<Source> sources;
    for (int32_t u = 1; u <= users.back(); ++u) sources.push_back(Source{DataFile::find(folder, queryFileName(u)), u, 1});
    return sources;
}

std::vector<TableFiles> planTables(const std::string& folder, int32_t users, const std::string& asker) {
    std::vector<TableFiles> work;
    for (const TableDef& def : factTables()) {
        TableFiles t;
        t.def = &def;
        if (def.file)
            t.sources.push_back(Source{DataFile::find(folder, def.file), 0, 1});
        else
            t.sources = querySources(folder, users, asker);
        work.push_back(std::move(t));
    }
    return work;
}

// Each file's line end, from its first line.
void findLineEnds(std::vector<TableFiles>& work) {
    for (TableFiles& t : work)
        for (Source& s : t.sources) s.lineEnd = lines::lineEndOf(s.file, t.def->lineLength);
}

// The lines of every file against those the data set implies, before
// anything is loaded: from the members of the dimensions and the sizes of
// the other files.
DataSetSize checkCounts(const Dimensions& dims, const std::vector<TableFiles>& work) {
    FileLines lines;
    for (const Dimension& dim : dims.all) {
        int64_t leaves = 0;
        for (const Member& m : dim.members) leaves += m.level == 0;
        lines[dim.layout.treeFile] = static_cast<int64_t>(dim.members.size());
        lines[dim.layout.hierFile] = leaves;
    }
    std::vector<std::string> queryFiles;
    for (const TableFiles& t : work)
        for (const Source& src : t.sources) {
            const uint64_t stride = static_cast<uint64_t>(t.def->lineLength + src.lineEnd);
            if (src.file.size() % stride == 0)
                lines[src.file.name()] = static_cast<int64_t>(src.file.size() / stride);
            else
                lines[src.file.name()] = std::nullopt;
            if (!t.def->file) queryFiles.push_back(src.file.name());
        }
    return checkLineCounts(lines, queryFiles);
}

// A finished data set has no state file: the generator deletes it after the
// third phase.
void checkFinished(const std::string& folder) {
    const fs::path state = fs::path(folder) / stateFileName;
    std::error_code ec;
    if (!fs::exists(state, ec)) return;
    std::string phase = "unknown";
    if (FILE* f = fopen(state.c_str(), "rb")) {
        unsigned char bytes[24];
        if (fread(bytes, 1, 24, f) == 24)
            phase = std::to_string(static_cast<int32_t>(bytes[20] | bytes[21] << 8 | bytes[22] << 16 |
                                                        static_cast<uint32_t>(bytes[23]) << 24));
        fclose(f);
    }
    throw DataSetError(std::string(stateFileName) + " is present: the data set is not finished (phases done: " + phase +
                    " of 3)");
}

}  // namespace

// Checks each compressed file read whole against the manifests.
CompressedRead compressedCheck(ContentCheck& content) {
    return [&content](const DataFile& file, size_t stored, uint64_t bytes, uint32_t crc) {
        content.addCompressed(file, stored, bytes, crc);
    };
}

// The name of a file's first compressed stored file.
std::string compressedFileOf(const DataFile& file) {
    for (const DataFile::Part& p : file.parts())
        if (p.compressed) return fs::path(p.path).filename().string();
    return file.name();
}

// After a failure in a piece of a file that does not start the file, an
// earlier line of the wrong length may have shifted every line after it: the
// first such line is the fault to report.
std::optional<std::string> earlierBadLine(const Source& src, const TableDef& def, uint64_t upTo) {
    std::vector<char> data;
    // Whole lines at a time: each piece starts on a line.
    const uint64_t stride = static_cast<uint64_t>(def.lineLength + src.lineEnd);
    const uint64_t step = std::max<uint64_t>(1, faultPiece / stride) * stride;
    DataFile::Reader reader(src.file, 0);
    for (uint64_t offset = 0; offset < upTo; offset += step) {
        const uint64_t n = std::min<uint64_t>(step, upTo - offset);
        data.resize(static_cast<size_t>(n));
        reader.read(data.data(), data.size());
        try {
            lines::forEach(src.file, data.data(), data.size(), offset, def.lineLength, src.lineEnd,
                           [](const char*, uint64_t) {});
        } catch (const DataSetError& e) {
            return std::string(e.what());
        }
    }
    return std::nullopt;
}

// After a failure in a file with compressed files: the first fault of its
// compressed files themselves (a damaged frame, other text than its size,
// other compressed bytes than the manifests give), if any.
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

std::unique_ptr<DataSet> DataSet::open(const std::string& folder, int32_t requestedUsers, const std::string& program) {
    checkFinished(folder);
    std::unique_ptr<DataSet> data(new DataSet);
    DataSet& d = *data;
    // What the manifests say, and all that can be checked against them
    // without reading the files, before anything is read.
    d.manifests = DataSetManifests::read(folder);
    int32_t users = requestedUsers;
    std::string asker = "--users " + std::to_string(requestedUsers) + " asks";
    if (!d.manifests.empty()) {
        const qem::Manifest& m = d.manifests.settings();
        if (requestedUsers > 0 && requestedUsers != m.users)
            throw DataSetError("--users " + std::to_string(requestedUsers) + ": the data set has " + std::to_string(m.users) +
                            " users (" + d.manifests.firstName() + ")");
        users = static_cast<int32_t>(m.users);
        asker = "the data set's " + std::to_string(m.users) + " users (" + d.manifests.firstName() + ") ask";
    }
    d.tables = planTables(folder, users, asker);
    for (const DimensionLayout& l : dimensionLayouts())
        for (const char* name : {l.hierFile, l.treeFile}) d.dimensionFiles.emplace(name, DataFile::find(folder, name));
    std::vector<DataFile*> files;
    for (auto& [name, f] : d.dimensionFiles) files.push_back(&f);
    for (TableFiles& t : d.tables)
        for (Source& s : t.sources) files.push_back(&s.file);
    for (const DataFile* f : files)
        if (f->anyCompressed() && !DataFile::canDecompress())
            throw DataSetError(compressedFileOf(*f) + ": a compressed file, and this " + program +
                            " was built without Zstandard (install libzstd-dev and build again)");
    if (d.manifests.empty()) {
        for (const DataFile* f : files) {
            if (f->storedInParts())
                throw DataSetError(fs::path(f->parts().front().path).filename().string() +
                                ": a part file, and the folder holds no manifests: a data set in parts is loaded "
                                "only with the manifests its parts were written with (phaseN.manifest.partKKKK)");
            if (f->anyCompressed())
                throw DataSetError(compressedFileOf(*f) +
                                ": a compressed file, and the folder holds no manifests: a compressed data set is "
                                "loaded only with its manifests (phaseN.manifest), which give the size of its text");
        }
        fprintf(stderr,
                "%s: warning: %s holds no manifests (phaseN.manifest), as data sets written before them: only "
                "the files' lines are checked, the data set's completeness is not proven\n",
                program.c_str(), folder.c_str());
    } else {
        // Gives the compressed files their text sizes, too.
        d.manifests.checkStored(files);
    }
    d.content = std::make_unique<ContentCheck>(d.manifests, std::vector<const DataFile*>(files.begin(), files.end()));

    // The dimension files' bytes are checked as they are read (before their
    // lines), every other file's as it is read.
    ContentCheck& content = *d.content;
    d.dims = readDimensions(
        [&](const std::string& name) { return d.dimensionFiles.at(name); },
        [&](const DataFile& file, uint64_t offset, const char* bytes, size_t length) {
            content.add(file, offset, bytes, length);
        },
        compressedCheck(content));
    checkMonths(d.dims);
    findLineEnds(d.tables);
    d.size = checkCounts(d.dims, d.tables);
    d.size.usersChecked = requestedUsers > 0 || !d.manifests.empty();
    if (!d.manifests.empty()) {
        const qem::Manifest& m = d.manifests.settings();
        if (m.channels != d.size.channels || m.densityCode != d.size.densityCode)
            throw DataSetError("the files imply " + std::to_string(d.size.channels) + " channels and density code " +
                            std::to_string(d.size.densityCode) + ", where " + d.manifests.firstName() + " says " +
                            std::to_string(m.channels) + " channels and density code " + std::to_string(m.densityCode));
    }
    return data;
}

}  // namespace qemdata
