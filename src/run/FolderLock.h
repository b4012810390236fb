#pragma once

namespace qem {

// Takes an exclusive advisory lock (flock) on the current folder itself for
// the rest of the process's life, so that two runs never work in one folder
// at once; it leaves no file behind, and the system releases it when the
// process ends in any way (kill -9 included). When another run holds it,
// reports "another run of this program is using this folder\n" on standard
// error and fails with status 1 (a ReportedFailure); any other failure to
// take it is reported with the system's text, status 1 as well.
void lockFolder();

}  // namespace qem
