#include "cli/CommandLine.h"

#include <getopt.h>

#include <cstdio>
#include <set>

namespace qemcli {

namespace {

// getopt_long codes: an option's index in the table plus this, so that they
// never meet a letter.
constexpr int longCode = 256;

// "--name=value" -> "--name".
std::string writtenName(const char* argument) {
    const std::string text = argument;
    return text.substr(0, text.find('='));
}

CommandLine readOptions(const std::vector<std::string>& args, const std::vector<Option>& programOptions) {
    CommandLine line;
    std::vector<Option> options = programOptions;
    options.push_back({"help", false, 'h'});
    options.push_back({"version", false, 0});
    std::vector<option> table;
    // "-": arguments come back in order (code 1), whatever POSIXLY_CORRECT
    // says; ":": a missing value comes back as ':', and nothing is printed.
    std::string letters = "-:";
    for (size_t i = 0; i < options.size(); ++i) {
        table.push_back({options[i].name.c_str(), options[i].takesValue ? required_argument : no_argument, nullptr,
                         longCode + static_cast<int>(i)});
        if (options[i].letter) letters += std::string(1, options[i].letter) + (options[i].takesValue ? ":" : "");
    }
    table.push_back({nullptr, 0, nullptr, 0});
    auto indexOfLetter = [&](int letter) {
        for (size_t i = 0; i < options.size(); ++i)
            if (options[i].letter == letter) return i;
        return options.size();
    };

    // getopt_long may reorder what it is given: it reads copies.
    std::vector<std::string> copies = {"program"};
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& copy : copies) argv.push_back(copy.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(copies.size());

    opterr = 0;
    optind = 0;  // a fresh scan (glibc)
    std::set<size_t> given;
    for (;;) {
        // The argument that a long option comes from: no argument is skipped
        // in order mode, so it is the one at optind.
        const int at = optind > 0 ? optind : 1;
        const int code = getopt_long(argc, argv.data(), letters.c_str(), table.data(), nullptr);
        if (code == -1) break;
        if (code == 1) {
            line.arguments.push_back(optarg);
            continue;
        }
        const int known = code == '?' || code == ':' ? optopt : code;
        if (known == 0 || (known < longCode && indexOfLetter(known) == options.size())) {
            line.error = "unknown option '" +
                         (known == 0 ? writtenName(argv[at]) : "-" + std::string(1, static_cast<char>(known))) + "'";
            break;
        }
        const size_t index = known >= longCode ? static_cast<size_t>(known - longCode) : indexOfLetter(known);
        const std::string name = known >= longCode ? "--" + options[index].name : "-" + std::string(1, static_cast<char>(known));
        // getopt_long takes a prefix of one option's name as that option.
        if (known >= longCode && writtenName(argv[at]) != name) {
            line.error = "unknown option '" + writtenName(argv[at]) + "'";
            break;
        }
        if (code == ':') {
            line.error = name + " needs a value";
            break;
        }
        if (code == '?') {
            line.error = name + " takes no value";
            break;
        }
        if (!given.insert(index).second) {
            line.error = "--" + options[index].name + " is given twice";
            break;
        }
        if (options[index].name == "help")
            line.help = true;
        else if (options[index].name == "version")
            line.version = true;
        else
            line.options.emplace_back(options[index].name, optarg ? optarg : "");
    }
    // After "--": arguments, whatever they look like.
    if (line.error.empty())
        for (int i = optind; i < argc; ++i) line.arguments.push_back(argv[i]);
    return line;
}

}  // namespace

bool CommandLine::has(const std::string& name) const { return value(name).has_value(); }

std::optional<std::string> CommandLine::value(const std::string& name) const {
    for (const auto& [given, text] : options)
        if (given == name) return text;
    return std::nullopt;
}

CommandLine readCommandLine(const std::vector<std::string>& args, const std::vector<Option>& options) {
    return readOptions(args, options);
}

CommandLine readCommandLine(const std::vector<std::string>& args, const std::vector<Command>& commands) {
    if (!args.empty())
        for (const Command& c : commands)
            if (args[0] == c.name) {
                CommandLine line = readOptions(std::vector<std::string>(args.begin() + 1, args.end()), c.options);
                line.command = c.name;
                return line;
            }
    // No command: the program's own --help and --version, nothing else.
    if (!args.empty() && !args[0].starts_with("-")) {
        CommandLine line;
        line.error = "unknown command '" + args[0] + "'";
        return line;
    }
    CommandLine line = readOptions(args, {});
    if (line.error.empty() && !line.help && !line.version) {
        std::string names;
        for (const Command& c : commands) names += (names.empty() ? "" : ", ") + c.name;
        line.error = line.arguments.empty() ? "a command is needed: one of " + names
                                            : "unknown command '" + line.arguments[0] + "'";
    }
    return line;
}

std::vector<std::string> argumentsOf(int argc, const char* const argv[]) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

std::optional<int> answerCommandLine(const char* program, const char* usage, bool help, bool version,
                                     const std::string& error) {
    if (help) {
        fputs(usage, stdout);
        return 0;
    }
    if (version) {
        printf("%s %s\n", program, projectVersion());
        return 0;
    }
    if (!error.empty()) {
        fprintf(stderr, "%s: %s\n%s", program, error.c_str(), usage);
        return 2;
    }
    return std::nullopt;
}

const char* projectVersion() { return QEM_VERSION; }

}  // namespace qemcli
