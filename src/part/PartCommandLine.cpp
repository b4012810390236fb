#include "part/PartCommandLine.h"

#include <unistd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "cli/CommandLine.h"
#include "cli/Numbers.h"
#include "context/Context.h"
#include "sizes/DataSetShape.h"

namespace qem {

const char* const partUsage =
    "usage: qempart --channels N --density PCT --users U --seed S --phase 1|2|3 --parts P --part K [--out DIR]\n"
    "               [--compress zstd[:LEVEL]]\n"
    "  writes part K of P of every file of the phase into DIR (default: the current folder)\n"
    "  as NAME.qem.partKKKK, and the part's manifest phaseN.manifest.partKKKK\n"
    "  --compress zstd[:LEVEL]  each part file compressed as it is written, NAME.qem.partKKKK.zst\n"
    "                           (level 1 to 19, default 1); cat joins them into a .zst of the whole\n"
    "usage: qempart --sizes --channels N --density PCT --users U\n"
    "  writes nothing; prints \"phase N bytes B\" for phases 1, 2 and 3: the bytes of their files\n"
    "usage: qempart --help | --version\n"
    "Answers whose data set this program cannot write (counts beyond its exact arithmetic, or a\n"
    "model larger than this machine's memory) are refused with status 1; a bad command line\n"
    "ends with status 2.\n";

bool parsePartCommand(int argc, const char* const argv[], PartCommand& command, std::string& error) {
    const qemcli::CommandLine line = qemcli::readCommandLine(
        qemcli::argumentsOf(argc, argv), {{"channels", true}, {"density", true}, {"users", true}, {"seed", true},
                                          {"phase", true}, {"parts", true}, {"part", true}, {"out", true},
                                          {"compress", true}, {"sizes"}});
    command.help = line.help;
    command.version = line.version;
    error = line.error;
    if (command.help || command.version || !error.empty()) return error.empty();
    if (!line.arguments.empty()) {
        error = "unexpected argument '" + line.arguments[0] + "'";
        return false;
    }
    std::map<std::string, std::string> given(line.options.begin(), line.options.end());
    command.sizes = given.erase("sizes") > 0;
    // Sizes need the answers only; the seed and the part, where given, are checked all the same.
    if (command.sizes) {
        if (!given.count("seed")) given["seed"] = "0";
        if (!given.count("phase")) given["phase"] = "1";
        if (!given.count("parts")) given["parts"] = "1";
        if (!given.count("part")) given["part"] = "1";
    }
    for (const char* option : {"channels", "density", "users", "seed", "phase", "parts", "part"}) {
        if (!given.count(option)) {
            error = std::string("--") + option + " is missing";
            return false;
        }
    }
    auto fault = [&](const char* option, const char* rule) {
        error = std::string("--") + option + " '" + given[option] + "': " + rule;
        return false;
    };
    PartRequest& r = command.request;
    const auto channels = qemcli::integerIn(given["channels"], 10, maxChannelCount);
    if (!channels) return fault("channels", "not a whole number from 10 to 2147483");
    const auto density = qemcli::numberIn(given["density"], 0.1, 40.0);
    if (!density) return fault("density", "not a number from 0.1 to 40");
    const auto users = qemcli::integerIn(given["users"], 10, INT32_MAX);
    if (!users) return fault("users", "not a whole number from 10 to 2147483647");
    const auto seed = qemcli::integerIn(given["seed"], INT32_MIN, UINT32_MAX);
    if (!seed) return fault("seed", "not a whole number from -2147483648 to 4294967295");
    const auto phase = qemcli::integerIn(given["phase"], 1, 3);
    if (!phase) return fault("phase", "not 1, 2 or 3");
    const auto parts = qemcli::integerIn(given["parts"], 1, maxPartCount);
    if (!parts) return fault("parts", "not a whole number from 1 to 9999");
    const auto part = qemcli::integerIn(given["part"], 1, *parts);
    if (!part) {
        error = "--part '" + given["part"] + "': not a whole number from 1 to the parts (" + given["parts"] + ")";
        return false;
    }
    r.channelCount = static_cast<int32_t>(*channels);
    r.densityCode = densityCodeOf(*density);
    r.userCount = static_cast<int32_t>(*users);
    r.seed = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(*seed)));
    r.phase = static_cast<int32_t>(*phase);
    r.parts = static_cast<int32_t>(*parts);
    r.part = static_cast<int32_t>(*part);
    if (given.count("compress")) {
        const int level = zstdLevelOf(given["compress"]);
        if (level == 0) return fault("compress", "not zstd or zstd:LEVEL with a level from 1 to 19");
        if (!canCompress()) {
            error = "--compress: this qempart was built without Zstandard (install libzstd-dev and build again)";
            return false;
        }
        r.zstdLevel = static_cast<int32_t>(level);
    }
    if (given.count("out")) command.folder = given["out"];
    if (command.sizes) return true;
    struct stat status;
    if (command.folder.empty() || stat(command.folder.c_str(), &status) != 0) {
        error = "--out '" + command.folder + "': " + (command.folder.empty() ? "empty" : strerror(errno));
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        error = "--out '" + command.folder + "': not a folder";
        return false;
    }
    if (access(command.folder.c_str(), W_OK | X_OK) != 0) {
        error = "--out '" + command.folder + "': cannot write there (" + strerror(errno) + ")";
        return false;
    }
    return true;
}

}  // namespace qem
