#pragma once
#include <cstdint>
#include <vector>

#include "dataset/DataSet.h"
#include "query/Answers.h"
#include "query/Reading.h"

namespace qemquery {

// The queries of a data set's query files, by user and position (user 0:
// every user's; else only that user's), each line checked as qemload checks
// it (kind, fields, members) and each file's bytes against its manifests.
// Throws qemdata::DataSetError naming the file and line.
std::vector<Query> readQueries(qemdata::DataSet& data, int32_t user = 0);

// Checks the content sums of the files readQueries read (the query files,
// of user `user` only when it is not 0, and the dimension files) against the
// manifests, the other files left aside; throws qemdata::DataSetError.
void finishQueryFiles(qemdata::DataSet& data, int32_t user = 0);

// The data set as an answers file names it: its size and seed (0 without
// manifests).
DataSetIdentity identityOf(const qemdata::DataSet& data);

}  // namespace qemquery
