#include "phase/PhaseRun.h"

#include <cerrno>
#include <cstring>

#include "core/RecordWriter.h"

namespace qem {

unsigned workerMain(RecordWriter* writer) {
    try {
        writer->run();
        return 1;
    } catch (...) {
        const int err = errno;
        if (const char* text = currentFailureText())
            reportError("%s\n", text);
        else
            reportError("mysterious exception caught\n%s\n", strerror(err));
        return 0;
    }
}

}  // namespace qem
