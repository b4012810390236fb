#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "compress/Zstd.h"

namespace qem {

// One part of one phase of a data set (qempart): the answers, the seed, the
// phase and which part of how many.
struct PartRequest {
    int32_t channelCount = 0;
    int32_t densityCode = 0;
    int32_t userCount = 0;
    int32_t seed = 0;
    int32_t phase = 1;
    int32_t parts = 1;
    int32_t part = 1;
    // Replaces the clock rule of the inventory writers (tests).
    std::optional<int32_t> inventorySeed;
    // Writes every part file compressed with Zstandard at this level
    // ("NAME.qem.partKKKK.zst"); 0: plain files.
    int32_t zstdLevel = 0;
};

// Whether this qempart can write compressed parts (built with libzstd).
bool canCompress();

// At most this many parts: part numbers have four digits, so the part files
// of a file list in part order.
constexpr int32_t maxPartCount = 9999;


// Writes part `part` of every file of the phase into the current folder (an
// empty part file where the part has none of a file), each under a temporary
// name ("NAME.qem.partKKKK.tmp"); once all are written and synchronised they
// are renamed into place, then the manifest is written. So a file with a
// final part name is complete; a failed part leaves nothing it began (and a
// part killed outright only ".tmp" files, which its next run removes).
// Runs initContext() (the model and the density pattern are built from the
// seed, as each phase of qemgen does). A failure is reported with qemgen's
// messages and thrown as a ReportedFailure with qemgen's status: 1, or 2 when
// a writer of a worker file failed. Returns the bytes written.
//
// The global random stream goes through every draw of a whole run of the
// phase up to the last file the part writes: writers of the part's windows
// are constructed where qemgen constructs them; the keys of writers the part
// does not run, and the last partial buffers' keys it does not need, are
// drawn and dropped (the writers of a batch draw those in writer order, one
// of the orders of a whole run); the query files of earlier users, and the
// buffers of a user's file before the part's, are generated without being
// written, as their draws decide the rest.
int64_t writePart(const PartRequest& request);

// Bytes that each part of a phase's plan keeps per user (phase 3 lists every
// user's file): counted against the memory before a part is run.
constexpr uint64_t partPlanBytesPerUser = 512;

// Prints "phase N bytes B" for phases 1, 2 and 3: the bytes of each phase's
// files for the request's answers. Builds the density pattern only, writes
// nothing.
void printPhaseSizes(const PartRequest& request);

}  // namespace qem
