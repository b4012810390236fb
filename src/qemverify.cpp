// qemverify: checks a data set against its manifests (see README and docs/verifying.md).
#include <unistd.h>

#include <cstdio>
#include <string>

#include "verify/DataSetCheck.h"
#include "verify/VerifyCommand.h"

using namespace qem;

int main(int argc, char* argv[]) {
    VerifyCommand command;
    std::string error;
    if (!parseVerifyCommand(argc, argv, command, error)) {
        fprintf(stderr, "qemverify: %s\n%s", error.c_str(), verifyUsage);
        return 2;
    }
    if (command.help) {
        fputs(verifyUsage, stdout);
        return 0;
    }
    // The progress line only for a person watching: never into a file or a pipe.
    return verifyDataSet(command, isatty(STDERR_FILENO) != 0);
}
