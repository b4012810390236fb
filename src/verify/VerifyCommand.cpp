#include "verify/VerifyCommand.h"

#include "cli/CommandLine.h"
#include "cli/Numbers.h"
#include "compress/Zstd.h"

namespace qem {

const char* const verifyUsage =
    "usage: qemverify [--regenerate] [--phases 1,2,3] [--part K] [--join DEST [--compress zstd[:LEVEL]]] [DIR]\n"
    "       qemverify --help | --version\n"
    "  checks the data set in DIR (default: the current folder) against its manifests: every part of\n"
    "  every phase present, every file's bytes, lines, CRC-32 and content sum, the parts adding up to\n"
    "  their files, and no stray or leftover files; compressed parts (NAME.qem.partKKKK.zst) are\n"
    "  decompressed as they are read, their text and their compressed bytes checked\n"
    "  --regenerate  also recomputes every file's content sum from the answers and the seed (nothing is\n"
    "                written) and compares it with the files'\n"
    "  --phases      the phases to check (default 1,2,3)\n"
    "  --part K      only part K's files and manifests (while other parts may still be written)\n"
    "  --join DEST   also writes every file read whole into the folder DEST (made if missing), with a\n"
    "                manifest of each phase: a data set of whole files, published there only when\n"
    "                every check holds (nothing is left under a final name otherwise)\n"
    "  --compress zstd[:LEVEL]  with --join: each whole file compressed, NAME.qem.zst (level 1 to 19,\n"
    "                default 1)\n"
    "Status 0 when everything holds, 1 otherwise (every fault on standard error), 2 for a bad command line.\n";

namespace {

// "1,3" -> {1, 3}; nothing for anything but a list of 1, 2 and 3.
bool parsePhases(const std::string& text, std::set<int32_t>& phases) {
    phases.clear();
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (item != "1" && item != "2" && item != "3") return false;
        phases.insert(item[0] - '0');
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// The level of "zstd" or "zstd:LEVEL"; 0 for anything else or where this
// build cannot compress.
int parseZstd(const std::string& text) {
#ifdef QEM_HAVE_ZSTD
    return zstdLevelOf(text);
#else
    (void)text;
    return 0;
#endif
}

}  // namespace

bool parseVerifyCommand(int argc, const char* const argv[], VerifyCommand& command, std::string& error) {
    const qemcli::CommandLine line =
        qemcli::readCommandLine(qemcli::argumentsOf(argc, argv), {{"regenerate"}, {"phases", true}, {"part", true}, {"join", true}, {"compress", true}});
    command.help = line.help;
    command.version = line.version;
    error = line.error;
    if (command.help || command.version || !error.empty()) return error.empty();
    for (const auto& [name, value] : line.options) {
        if (name == "regenerate") {
            command.regenerate = true;
        } else if (name == "phases" && !parsePhases(value, command.phases)) {
            error = "--phases '" + value + "': not a list of 1, 2 and 3 (such as 1,2,3)";
            return false;
        } else if (name == "part") {
            long part = 0;
            if (!qemcli::parseCount(value, 1, 9999, part)) {
                error = "--part '" + value + "': not a whole number from 1 to 9999";
                return false;
            }
            command.part = static_cast<int32_t>(part);
        } else if (name == "join") {
            command.join = value;
            if (value.empty()) {
                error = "--join: the folder '' is empty";
                return false;
            }
        } else if (name == "compress") {
            command.joinZstdLevel = parseZstd(value);
            if (command.joinZstdLevel == 0) {
                error = "--compress '" + value + "': not zstd or zstd:LEVEL with a level from 1 to 19";
                return false;
            }
        }
    }
    if (line.arguments.size() > 1) {
        error = "more than one folder: '" + line.arguments[0] + "' and '" + line.arguments[1] + "'";
        return false;
    }
    if (!line.arguments.empty()) command.folder = line.arguments[0];
    if (command.folder.empty()) {
        error = "the folder '' is empty";
        return false;
    }
    if (command.regenerate && command.part != 0) {
        error = "--regenerate needs every part of a file: it cannot be used with --part";
        return false;
    }
    if (!command.join.empty() && command.part != 0) {
        error = "--join needs every part of a file: it cannot be used with --part";
        return false;
    }
    if (command.joinZstdLevel != 0 && command.join.empty()) {
        error = "--compress goes with --join";
        return false;
    }
    return true;
}

}  // namespace qem
