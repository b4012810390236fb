#pragma once
#include <cstdint>
#include <vector>

#include "dataset/DataSet.h"
#include "query/Reading.h"

namespace qemquery {

// The queries of a data set's query files, by user and position (user 0:
// every user's; else only that user's), each line checked as qemload checks
// it (kind, fields, members) and each file's bytes against its manifests.
// Throws qemdata::DataSetError naming the file and line.
std::vector<Query> readQueries(qemdata::DataSet& data, int32_t user = 0);

}  // namespace qemquery
