#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dataset/ContentCheck.h"
#include "dataset/DataFile.h"
#include "dataset/Dimensions.h"
#include "dataset/FolderCheck.h"
#include "dataset/LineCounts.h"
#include "dataset/Tables.h"

namespace qemdata {

// A file a table's rows come from: the user of a query file, and the bytes
// of a line end in it (1 or 2).
struct Source {
    const DataFile* file = nullptr;
    int32_t user = 0;
    int lineEnd = 1;
    uint64_t stride(const TableDef& def) const { return static_cast<uint64_t>(def.lineLength + lineEnd); }
};

// A table of factTables() and the files its rows come from.
struct TableFiles {
    const TableDef* def = nullptr;
    std::vector<Source> sources;
};

// A finished data set as every reader reads it, with every check that can
// be made before its fact, cost and query files are read: the folder is one
// FolderCheck accepts (the manifests whole and agreeing, every file stored
// as they say, nothing stray, no state file), the dimension files are read
// and consistent, and every file has the lines the data set implies. What
// remains is read by the caller, who shows every byte it reads to `content`
// and calls content->finish() before it publishes anything.
//
// A folder without any manifest (a data set written before them) is read
// with a warning on standard error: whole plain files only, and only what
// the files imply is checked.
class DataSet {
public:
    // Throws DataSetError with the first fault. `program` names the caller
    // in messages ("qemload"). users: the query files that must be present
    // (0: the manifests' count, or those found).
    static std::unique_ptr<DataSet> open(const std::string& folder, int32_t users, const std::string& program);

    // The same checks, every fault kept in `faults` instead (qemverify): the
    // data set as far as it could be opened. Its content check keeps its
    // faults too, and no file has been read through it: the caller reads
    // every file of check.files. The dimensions and line counts are checked
    // only for the whole data set and when the folder itself holds no fault;
    // for some of its phases, or one part, the folder and manifests alone.
    static std::unique_ptr<DataSet> inspect(const std::string& folder, const Scope& scope, Faults& faults);

    DataSet(const DataSet&) = delete;
    DataSet& operator=(const DataSet&) = delete;

    FolderCheck check;                                    // the folder, manifests and stored files
    std::map<std::string, const DataFile*> dimensionFiles;  // the tree and hierarchy files by name
    std::vector<TableFiles> tables;                       // in factTables() order
    std::unique_ptr<ContentCheck> content;                // of every file
    Dimensions dims;
    DataSetSize size;
    const ManifestSet& manifests() const { return check.manifests; }

private:
    DataSet() = default;
    void openFiles(int32_t users, const std::string& program, bool keep);
    void checkFiles(bool readThroughContent);
};

// Checks each compressed file read whole against the manifests.
CompressedRead compressedCheck(ContentCheck& content);

// The name of a file's first compressed stored file.
std::string compressedFileOf(const DataFile& file);

// After a failure in a piece of a file that does not start at `upTo` = 0:
// the first earlier line of the wrong length (which shifts every line after
// it), if any.
std::optional<std::string> earlierBadLine(const Source& src, const TableDef& def, uint64_t upTo);

// After a failure in a file with compressed files: the first fault of its
// compressed files themselves (a damaged frame, other text than its size,
// other compressed bytes than the manifests give), if any.
std::optional<std::string> compressedFault(const DataFile& file, ContentCheck& content);

}  // namespace qemdata
