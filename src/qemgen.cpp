// qemgen: the generator; three runs in one folder make a data set (see README
// and docs/qemgen.md). It has no command-line options: its arguments are
// ignored.
#include <cstdio>

#include "core/Failure.h"
#include "run/Phases.h"

int main() {
    try {
        return qem::qemMain();
    } catch (const qem::ReportedFailure& failure) {
        // Reported where it happened; every thread of the run has ended.
        fflush(stdout);
        return failure.status();
    }
}
