// qemload: loads a finished data set into PostgreSQL with its integrity checked.
#include <unistd.h>

#include <cstdio>

#include "load/Arguments.h"
#include "load/Loader.h"
#include "load/PgSession.h"
#include "load/ProgramSupport.h"

namespace qemload {
namespace {

void onSignal(int) { loadStopRequest() = true; }

}  // namespace
}  // namespace qemload

using namespace qemload;

int main(int argc, char** argv) {
    const Arguments a = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (a.help) {
        fputs(usageText, stdout);
        return 0;
    }
    if (!a.error.empty()) {
        fprintf(stderr, "qemload: %s\n%s", a.error.c_str(), usageText);
        return 2;
    }
    // The first interrupt stops the load cleanly; a second one ends the program.
    stopOnFirstInterrupt(onSignal);

    LoadOptions options = a.options;
    options.progress = isatty(STDERR_FILENO);
    try {
        const LoadFigures figures = loadDataSet(options);
        printFigures(stdout, figures, options.schema);
        return 0;
    } catch (const std::exception& e) {
        fflush(stdout);
        fprintf(stderr, "qemload: %s\nnothing was published\n", redact(e.what()).c_str());
        return 1;
    }
}
