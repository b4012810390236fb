#include "part/PartCommandLine.h"

#include <unistd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

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
    "Answers whose data set this program cannot write (counts beyond its exact arithmetic, or a\n"
    "model larger than this machine's memory) are refused with status 1.\n";

namespace {

const char* const optionNames[] = {"channels", "density", "users", "seed", "phase", "parts", "part", "out", "compress"};

// A whole decimal integer (optional sign) within [low, high].
std::optional<int64_t> integerIn(const std::string& text, int64_t low, int64_t high) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
    if (i == text.size()) return std::nullopt;
    for (size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return std::nullopt;
    errno = 0;
    const long long value = strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || value < low || value > high) return std::nullopt;
    return value;
}

// A decimal number (digits, point, exponent) within [low, high].
std::optional<double> numberIn(const std::string& text, double low, double high) {
    if (text.empty() || text.find_first_not_of("+-.0123456789eE") != std::string::npos) return std::nullopt;
    char* end = nullptr;
    const double value = strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value) || value < low || value > high) return std::nullopt;
    return value;
}

}  // namespace

bool parsePartCommand(int argc, const char* const argv[], PartCommand& command, std::string& error) {
    std::map<std::string, std::string> given;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            command.help = true;
            return true;
        }
        if (argument == "--sizes") {
            command.sizes = true;
            continue;
        }
        std::string name, value;
        if (argument.rfind("--", 0) != 0) {
            error = "unexpected argument '" + argument + "'";
            return false;
        }
        const size_t equals = argument.find('=');
        name = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        bool known = false;
        for (const char* option : optionNames) known = known || name == option;
        if (!known) {
            error = "unknown option '--" + name + "'";
            return false;
        }
        if (given.count(name)) {
            error = "--" + name + " is given twice";
            return false;
        }
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = "--" + name + " needs a value";
            return false;
        }
        given[name] = value;
    }
    // Sizes need the answers only; the seed and the part, where given, are checked all the same.
    if (command.sizes) {
        if (!given.count("seed")) given["seed"] = "0";
        if (!given.count("phase")) given["phase"] = "1";
        if (!given.count("parts")) given["parts"] = "1";
        if (!given.count("part")) given["part"] = "1";
    }
    for (const char* option : optionNames) {
        if (std::string(option) != "out" && std::string(option) != "compress" && !given.count(option)) {
            error = std::string("--") + option + " is missing";
            return false;
        }
    }
    auto fault = [&](const char* option, const char* rule) {
        error = std::string("--") + option + " '" + given[option] + "': " + rule;
        return false;
    };
    PartRequest& r = command.request;
    const auto channels = integerIn(given["channels"], 10, maxChannelCount);
    if (!channels) return fault("channels", "not a whole number from 10 to 2147483");
    const auto density = numberIn(given["density"], 0.1, 40.0);
    if (!density) return fault("density", "not a number from 0.1 to 40");
    const auto users = integerIn(given["users"], 10, INT32_MAX);
    if (!users) return fault("users", "not a whole number from 10 to 2147483647");
    const auto seed = integerIn(given["seed"], INT32_MIN, UINT32_MAX);
    if (!seed) return fault("seed", "not a whole number from -2147483648 to 4294967295");
    const auto phase = integerIn(given["phase"], 1, 3);
    if (!phase) return fault("phase", "not 1, 2 or 3");
    const auto parts = integerIn(given["parts"], 1, maxPartCount);
    if (!parts) return fault("parts", "not a whole number from 1 to 9999");
    const auto part = integerIn(given["part"], 1, *parts);
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
        const std::string& value = given["compress"];
        std::optional<int64_t> level = int64_t{defaultZstdLevel};
        if (value.rfind("zstd:", 0) == 0)
            level = integerIn(value.substr(5), leastZstdLevel, mostZstdLevel);
        else if (value != "zstd")
            level.reset();
        if (!level) return fault("compress", "not zstd or zstd:LEVEL with a level from 1 to 19");
        if (!canCompress()) {
            error = "--compress: this qempart was built without Zstandard (install libzstd-dev and build again)";
            return false;
        }
        r.zstdLevel = static_cast<int32_t>(*level);
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
