// qempart: one part of one phase of a data set, on its own (see README).
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "cli/CommandLine.h"
#include "context/Context.h"
#include "core/Failure.h"
#include "part/PartCommandLine.h"

using namespace qem;

int main(int argc, char* argv[]) {
    PartCommand command;
    std::string error;
    parsePartCommand(argc, argv, command, error);
    if (const std::optional<int> status =
            qemcli::answerCommandLine("qempart", partUsage, command.help, command.version, error))
        return *status;
    const PartRequest& r = command.request;
    const GeneratorState answers{r.channelCount, r.userCount, r.densityCode, 1, r.seed, r.phase};
    if (const std::string problem = dataSetProblem(answers, !command.sizes && r.phase == 3 ? partPlanBytesPerUser : 0);
        !problem.empty()) {
        fprintf(stderr, "qempart: cannot write this data set: %s\n", problem.c_str());
        return 1;
    }
    if (command.sizes) {
        printPhaseSizes(r);
        return 0;
    }
    if (chdir(command.folder.c_str()) != 0) {
        fprintf(stderr, "qempart: --out '%s': %s\n", command.folder.c_str(), strerror(errno));
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    long long bytes = 0;
    try {
        bytes = writePart(command.request);
    } catch (const ReportedFailure& failure) {
        // Reported where it happened; the part has left nothing it began.
        fflush(stdout);
        return failure.status();
    }
    if (isatty(STDERR_FILENO)) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        fprintf(stderr, "phase %d, part %d of %d: %lld bytes in %.2f s\n", command.request.phase,
                command.request.part, command.request.parts, bytes, seconds);
    }
    return 0;
}
