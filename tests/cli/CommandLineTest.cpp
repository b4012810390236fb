// The command lines of the programs: the shared reading of options and
// commands, and every program (qemgen has no options) answering --help,
// --version and a bad option alike, run as child processes.
#include "cli/CommandLine.h"
#include "run/ProgramRun.h"

using namespace qemtest;

namespace {

using Options = std::vector<std::pair<std::string, std::string>>;

struct Reading {
    std::vector<std::string> args;
    std::string error;  // the fault expected, or ""
    Options options;
    std::vector<std::string> arguments;
};

// What getopt_long would allow and the programs do not (abbreviations, an
// option twice), values that begin with "-" or are empty, and "--".
TEST(CommandLine, OptionsAreReadInFullOrRefused) {
    const std::vector<qemcli::Option> options = {{"part", true}, {"parts", true}, {"seed", true}, {"sizes"}};
    const Reading cases[] = {
        {{"--seed", "-7", "a", "--part=3", "b"}, "", {{"seed", "-7"}, {"part", "3"}}, {"a", "b"}},
        {{"--seed=", "--", "--sizes", "-"}, "", {{"seed", ""}}, {"--sizes", "-"}},
        {{"--par", "3"}, "unknown option '--par'", {}, {}},
        {{"--size"}, "unknown option '--size'", {}, {}},
        {{"--colour=red"}, "unknown option '--colour'", {}, {}},
        {{"-x"}, "unknown option '-x'", {}, {}},
        {{"--part", "1", "--part=2"}, "--part is given twice", {}, {}},
        {{"--sizes", "--seed"}, "--seed needs a value", {}, {}},
        {{"--sizes=yes"}, "--sizes takes no value", {}, {}},
    };
    for (const Reading& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "" : c.args[0]);
        const qemcli::CommandLine line = qemcli::readCommandLine(c.args, options);
        EXPECT_EQ(line.error, c.error);
        if (!c.error.empty()) continue;
        EXPECT_EQ(line.options, c.options);
        EXPECT_EQ(line.arguments, c.arguments);
    }
}

// A program whose first argument names a command, each with its own options.
TEST(CommandLine, ACommandComesFirstWithOptionsOfItsOwn) {
    const std::vector<qemcli::Command> commands = {{"sql", {{"limit", true}}}, {"answers", {}}, {"run", {{"jobs", true}}}};
    const struct {
        std::vector<std::string> args;
        std::string command, error;
        bool help = false;
    } cases[] = {
        {{"sql", "x", "--limit", "3"}, "sql", ""},
        {{"sql", "--help"}, "sql", "", true},
        {{"--help"}, "", "", true},
        {{"answers", "--limit", "3"}, "answers", "unknown option '--limit'"},
        {{"query"}, "", "unknown command 'query'"},
        {{}, "", "a command is needed: one of sql, answers, run"},
        {{"--jobs", "2", "run"}, "", "unknown option '--jobs'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "" : c.args[0]);
        const qemcli::CommandLine line = qemcli::readCommandLine(c.args, commands);
        EXPECT_EQ(line.command, c.command);
        EXPECT_EQ(line.error, c.error);
        EXPECT_EQ(line.help, c.help);
    }
    const qemcli::CommandLine sql = qemcli::readCommandLine({"sql", "x", "--limit", "3"}, commands);
    EXPECT_EQ(sql.options, (Options{{"limit", "3"}}));
    EXPECT_EQ(sql.arguments, std::vector<std::string>{"x"});
}

class Programs : public ProgramRun {};

// --help: the usage on standard output, status 0; --version: one line, status 0; an unknown option: the
// program's name and the fault, then the usage, on standard error, status 2. Nothing is written.
TEST_F(Programs, EveryProgramAnswersHelpVersionAndABadOption) {
    std::vector<std::pair<std::string, std::string>> programs = {
        {"qempart", QEMPART_PATH}, {"qemverify", QEMVERIFY_PATH}, {"qemexport", QEMEXPORT_PATH}};
#ifdef QEMLOAD_PATH
    programs.emplace_back("qemload", QEMLOAD_PATH);
#endif
    for (const auto& [name, path] : programs) {
        SCOPED_TRACE(name);
        const std::string usage = "usage: " + name + " ";
        ChildSetup setup{.program = path, .arguments = {"--help"}};
        Outcome r = run("", dir, setup);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out.starts_with(usage)) << r.out;
        EXPECT_EQ(r.err, "");
        setup.arguments = {"--version"};
        r = run("", dir, setup);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, name + " " + qemcli::projectVersion() + "\n");
        EXPECT_EQ(r.err, "");
        setup.arguments = {"--colour", "red"};
        r = run("", dir, setup);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.starts_with(name + ": unknown option ")) << r.err;
        EXPECT_NE(r.err.find("\n" + usage), std::string::npos) << r.err;
        EXPECT_TRUE(entries(dir).empty());
    }
}

}  // namespace
