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
#include "dataset/LineCounts.h"
#include "dataset/Manifests.h"
#include "dataset/Tables.h"

namespace qemdata {

// A file a table's rows come from: the user of a query file, and the bytes
// of a line end in it (1 or 2).
struct Source {
    DataFile file;
    int32_t user = 0;
    int lineEnd = 1;
};

// A table of factTables() and the files its rows come from.
struct TableFiles {
    const TableDef* def = nullptr;
    std::vector<Source> sources;
};

// A finished data set as qemload and qemexport read it, with every check
// that can be made before its fact, cost and query files are read: the
// data set is finished (no state file), its manifests are whole and agree,
// its files are those they list, stored as they say (whole or in parts,
// plain or compressed), the dimension files are read and consistent, and
// every file has the lines the data set implies. What remains is read by the
// caller, who shows every byte it reads to `content` and calls
// content->finish() before it publishes anything.
class DataSet {
public:
    // Throws DataSetError with the message for the user. `program` names the
    // caller in messages ("qemload"). users: the query files that must be
    // present (0: the manifests' count, or those found).
    static std::unique_ptr<DataSet> open(const std::string& folder, int32_t users, const std::string& program);

    DataSet(const DataSet&) = delete;
    DataSet& operator=(const DataSet&) = delete;

    DataSetManifests manifests;
    std::map<std::string, DataFile> dimensionFiles;  // the tree and hierarchy files by name
    std::vector<TableFiles> tables;                  // in factTables() order
    std::unique_ptr<ContentCheck> content;           // of every file above
    Dimensions dims;
    DataSetSize size;

private:
    DataSet() = default;
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
