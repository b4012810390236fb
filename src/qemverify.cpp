// qemverify: checks a data set against its manifests (see README and docs/verifying.md).
#include <unistd.h>

#include <optional>
#include <string>

#include "cli/CommandLine.h"
#include "verify/DataSetCheck.h"
#include "verify/VerifyCommand.h"

using namespace qem;

int main(int argc, char* argv[]) {
    VerifyCommand command;
    std::string error;
    parseVerifyCommand(argc, argv, command, error);
    if (const std::optional<int> status =
            qemcli::answerCommandLine("qemverify", verifyUsage, command.help, command.version, error))
        return *status;
    // The progress line only for a person watching: never into a file or a pipe.
    return verifyDataSet(command, isatty(STDERR_FILENO) != 0);
}
