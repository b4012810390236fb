#pragma once
#include "context/Context.h"

namespace qem {

// The 24-byte state file that carries the answers, the seed and the last
// completed phase from one run to the next, and the side file that a new
// state is written to before it replaces the old one.
extern const char* const stateFileName;
extern const char* const stateSideFileName;

// Reads the state file. Returns false when there is none (a new data set).
// A file that exists but cannot be opened or read fails the run with
// "error reading '%s'\n%s\n" (the system's text) and status 1; one shorter
// than 24 bytes with "error reading QEM-1 generator status from disk!".
bool readState(GeneratorState& state);

// Records the phase in context.state once the phase's files are safe: the
// folder's entries are synchronised (every output file was at its close),
// then the state goes to a fresh side file, which is synchronised and renamed
// over the state file, and the folder is synchronised again. A failure fails
// the run with status 1 and leaves the previous state in place.
void saveState();

// Deletes the state file after the third phase, whose query files were
// synchronised at their close: the folder is synchronised before and after
// the removal. A failed removal ("error writing 'qem1r2genstate'" with the
// system's text) or sync fails the run with status 1, before "Done".
void removeState();

}  // namespace qem
