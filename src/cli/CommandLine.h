#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qemcli {

// The command lines of all the programs, read alike (getopt_long underneath,
// its own messages off): options `--name`, `--name=value` or `--name value`
// (a value may begin with "-"), and `-x` for those with a letter; anything
// else is an argument, kept in order, and so is everything after "--". A
// long option is named in full: an abbreviation is an unknown option. Every
// program knows --help (-h) and --version.

// One option a program (or one command of a program) takes.
struct Option {
    std::string name;  // without the dashes
    bool takesValue = false;
    char letter = 0;  // its one-letter form, or 0
};

// One command of a program whose first argument names what it does (a
// program with commands), with the options of its own.
struct Command {
    std::string name;
    std::vector<Option> options;
};

// What a command line says.
struct CommandLine {
    std::string command;  // the command named first (a program with commands), or ""
    // Every option given but --help and --version, in order: its name
    // (without the dashes) and its value ("" for an option without one).
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> arguments;
    bool help = false;
    bool version = false;
    // The first fault, or "": "unknown option '--colour'", "--jobs needs a
    // value", "--replace takes no value", "--part is given twice" (an
    // unknown option as written, up to its "=").
    std::string error;

    bool has(const std::string& name) const;
    // The value of the option, where it is given.
    std::optional<std::string> value(const std::string& name) const;
};

// Reads args (the arguments after the program's name) against the options.
// The scan ends at the first fault; --help or --version seen before it are
// still set.
CommandLine readCommandLine(const std::vector<std::string>& args, const std::vector<Option>& options);

// The same for a program with commands: the first argument names the command,
// and the rest are read against that command's options. Before any command
// only --help and --version are known (the program's own); without either, a
// missing command is a fault ("a command is needed: one of sql, answers"), and
// so is an unknown one ("unknown command 'x'").
CommandLine readCommandLine(const std::vector<std::string>& args, const std::vector<Command>& commands);

// The arguments of main() after the program's name.
std::vector<std::string> argumentsOf(int argc, const char* const argv[]);

// What every program does with its command line before its work: --help
// prints the usage on standard output and --version "PROGRAM VERSION" (the
// project's version), both ending the program with status 0; a fault prints
// "PROGRAM: <fault>" and the usage on standard error, status 2 (--help and
// --version go first). Returns the status to end with, or nothing when the
// program goes on.
std::optional<int> answerCommandLine(const char* program, const char* usage, bool help, bool version,
                                     const std::string& error);

// The project's version ("1.0.0").
const char* projectVersion();

}  // namespace qemcli
