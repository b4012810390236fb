// qemexport: a finished data set as delimited text and portable SQL for any database.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "cli/CommandLine.h"
#include "cli/Interrupts.h"
#include "export/Arguments.h"
#include "export/Exporter.h"

namespace qemexport {
namespace {

void onSignal(int) { exportStopRequest() = true; }

}  // namespace
}  // namespace qemexport

using namespace qemexport;

int main(int argc, char** argv) {
    const Arguments a = parseArguments(qemcli::argumentsOf(argc, argv));
    if (const std::optional<int> status = qemcli::answerCommandLine("qemexport", usageText, a.help, a.version, a.error))
        return *status;
    // The first interrupt stops the export cleanly; a second one ends the program.
    qemcli::stopOnFirstInterrupt(onSignal);

    // The jobs' buffers of a few MB are taken and given back all the time:
    // kept by the allocator rather than returned to the system, they are
    // reused without the system clearing fresh pages for each.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);

    ExportOptions options = a.options;
    options.progress = isatty(STDERR_FILENO);
    try {
        const ExportFigures figures = exportDataSet(options);
        printFigures(stdout, figures);
        return 0;
    } catch (const std::exception& e) {
        fflush(stdout);
        fprintf(stderr, "qemexport: %s\nnothing was exported\n", e.what());
        return 1;
    }
}
