// qemload: loads a finished data set into PostgreSQL with its integrity checked.
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "cli/CommandLine.h"
#include "cli/Interrupts.h"
#include "load/Arguments.h"
#include "load/Loader.h"
#include "pg/PgSession.h"

namespace qemload {
namespace {

void onSignal(int) { loadStopRequest() = true; }

}  // namespace
}  // namespace qemload

using namespace qemload;

int main(int argc, char** argv) {
    const Arguments a = parseArguments(qemcli::argumentsOf(argc, argv));
    if (const std::optional<int> status = qemcli::answerCommandLine("qemload", usageText, a.help, a.version, a.error))
        return *status;
    // The first interrupt stops the load cleanly; a second one ends the program.
    qemcli::stopOnFirstInterrupt(onSignal);

    LoadOptions options = a.options;
    options.progress = isatty(STDERR_FILENO);
    try {
        const LoadFigures figures = loadDataSet(options);
        printFigures(stdout, figures, options.schema);
        return 0;
    } catch (const std::exception& e) {
        fflush(stdout);
        fprintf(stderr, "qemload: %s\nnothing was published\n", qempg::redact(e.what()).c_str());
        return 1;
    }
}
