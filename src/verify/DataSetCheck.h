#pragma once
#include "verify/VerifyCommand.h"

namespace qem {

// Checks the data set in the command's folder against its manifests (and,
// with --regenerate, against its answers and seed), and reports: a line per
// file on standard output (name, lines, bytes, "ok" or its faults), then a
// summary; every fault on standard error, one line each ("qemverify: ...");
// with `progress`, a status line on standard error while it works. Returns
// the exit status: 0 when everything holds, 1 when anything does not, 2 when
// the folder cannot be opened.
//
// What holds for a sound data set:
// - every manifest of the phases asked is readable, says the phase and part
//   its name says, and all agree on the answers, the seed and the parts; a
//   phase has either the whole manifest (qemgen) or parts 1 to P (qempart),
//   and lists the phase's files with the lines and bytes its answers give;
// - every file a manifest lists has the manifest's bytes, lines, CRC-32 and
//   content sum (a version-1 manifest has no sums: noted, the rest checked);
//   the parts of a manifest with compression are NAME.qem.partKKKK.zst: each
//   has the manifest's compressed bytes and CRC-32, decompresses whole
//   (frames neither corrupt nor cut short), and its text has the manifest's
//   bytes, lines, CRC-32 and content sum;
// - each file's parts add up to the whole file's lines and bytes (and
//   content sum, where a manifest knows it);
// - nothing stray: no part beyond P, no temporary file (*.tmp, *.new) left
//   by a write that did not finish, no file present both whole and in parts,
//   no part present both plain and compressed, nor in the form its manifest
//   does not list, no data-set file that no manifest lists;
// - with --regenerate, every file's content sum, lines and bytes as the
//   answers and seed give them (the writers run without writing), against
//   the sums of the bytes read (for parts: the sum of the parts' sums).
// With --part K, only part K's files and manifests are looked at.
int verifyDataSet(const VerifyCommand& command, bool progress);

}  // namespace qem
