#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

#include "dataset/DataSet.h"
#include "query/Answers.h"
#include "query/Reading.h"

namespace qemquery {

// Share K of S of a data set's fact and cost files: a run of whole parts of
// each (the manifests' parts of a data set written in P parts: parts
// (K - 1) P / S + 1 to K P / S), so that every byte a share reads is
// checked against its manifest.
struct Share {
    int32_t k = 1, of = 1;
};

// The sums of every query (reading 1) over the rows of the data set's fact
// and cost files, or of one share of them: the cost files first (the costs
// a query's DollarCost takes per row), then every fact file, each in pieces
// on `jobs` threads, every line checked as qemload checks it and every byte
// against the manifests. Each line is added to every query cell it falls
// in, found through an index of the queries by the members they name: per
// product member (a line's product at each level the queries use), its
// queries sorted by customer member. `bytesRead` counts the text read (for
// a progress line). Throws qemdata::DataSetError with the first fault.
std::vector<Sums> computeSums(qemdata::DataSet& data, const std::vector<Query>& queries, Share share, int jobs,
                              std::atomic<uint64_t>& bytesRead);

}  // namespace qemquery
