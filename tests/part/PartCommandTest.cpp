// qempart's command line, run as a child process: answers outside the
// dialogue's limits, a part beyond the parts, a folder that is missing or
// cannot be written, each refused with a clear message, status 2 and nothing
// written; and a sound command writing its part and manifest.
#include <sys/file.h>
#include <sys/stat.h>

#include "run/ProgramRun.h"

using namespace qem;

namespace qemtest {
namespace {

struct BadCommand {
    std::vector<std::string> changes;  // "--name" "value" pairs that replace or drop ("") the sound ones
    std::vector<std::string> extra;    // arguments after them
    std::string message;
    bool unprivileged = false;
};

std::vector<std::string> commandWith(const std::vector<std::string>& changes) {
    std::vector<std::pair<std::string, std::string>> options = {
        {"--channels", "10"}, {"--density", "0.1"}, {"--users", "10"}, {"--seed", "-7"},
        {"--phase", "3"},     {"--parts", "40"},    {"--part", "40"}};
    for (size_t i = 0; i + 1 < changes.size(); i += 2) {
        auto found = std::find_if(options.begin(), options.end(), [&](const auto& o) { return o.first == changes[i]; });
        if (found == options.end())
            options.emplace_back(changes[i], changes[i + 1]);
        else
            found->second = changes[i + 1];
    }
    std::vector<std::string> arguments;
    for (const auto& [name, value] : options) {
        if (value.empty()) continue;
        arguments.push_back(name);
        arguments.push_back(value);
    }
    return arguments;
}

class PartCommand : public ProgramRun {};

TEST_F(PartCommand, BadArgumentsAreRefusedWithoutWritingAnything) {
    fs::create_directory(dir / "readonly");
    fs::permissions(dir / "readonly", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(dir, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    writeFile(dir / "plain", "");
    const std::set<std::string> before = entries(dir);
    const BadCommand cases[] = {
        {{"--seed", ""}, {}, "--seed is missing"},
        {{"--channels", "9"}, {}, "--channels '9': not a whole number from 10 to 2147483"},
        {{"--channels", "2147484"}, {}, "--channels '2147484'"},
        {{"--channels", "ten"}, {}, "--channels 'ten'"},
        {{"--density", "0.09"}, {}, "--density '0.09': not a number from 0.1 to 40"},
        {{"--density", "40.5"}, {}, "--density '40.5'"},
        {{"--users", "9"}, {}, "--users '9': not a whole number from 10"},
        {{"--seed", "4294967296"}, {}, "--seed '4294967296'"},
        {{"--phase", "4"}, {}, "--phase '4': not 1, 2 or 3"},
        {{"--parts", "0"}, {}, "--parts '0'"},
        {{"--parts", "10000"}, {}, "--parts '10000'"},
        {{"--parts", "2", "--part", "3"}, {}, "--part '3': not a whole number from 1 to the parts (2)"},
        {{"--part", "0"}, {}, "--part '0'"},
        {{"--colour", "red"}, {}, "unknown option '--colour'"},
        {{"--compress", "gzip"}, {}, "--compress 'gzip': not zstd or zstd:LEVEL with a level from 1 to 19"},
        {{"--compress", "zstd:20"}, {}, "--compress 'zstd:20'"},
        {{}, {"--part", "1"}, "--part is given twice"},
        {{"--out", "missing"}, {}, "--out 'missing': No such file or directory"},
        {{"--out", "plain"}, {}, "--out 'plain': not a folder"},
        {{"--out", "readonly"}, {}, "--out 'readonly': cannot write there", true},
    };
    for (const BadCommand& c : cases) {
        ChildSetup setup;
        setup.program = QEMPART_PATH;
        setup.arguments = commandWith(c.changes);
        setup.arguments.insert(setup.arguments.end(), c.extra.begin(), c.extra.end());
        setup.unprivileged = c.unprivileged;
        const Outcome outcome = run("", dir, setup);
        SCOPED_TRACE(c.message);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find("qempart: " + c.message), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find("usage: qempart"), std::string::npos);
        EXPECT_EQ(entries(dir), before);
        EXPECT_TRUE(fs::is_empty(dir / "readonly"));
    }
}

TEST_F(PartCommand, SoundCommandWritesItsPartAndManifestIntoTheFolder) {
    fs::create_directory(dir / "out");
    ChildSetup setup;
    setup.program = QEMPART_PATH;
    setup.arguments = commandWith({"--parts", "3", "--part", "2", "--users", "12", "--out", "out"});
    const Outcome outcome = run("", dir, setup);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "");
    std::set<std::string> expected = {"phase3.manifest.part0002"};
    for (int u = 1; u <= 12; ++u) expected.insert(formatted("qry%03d.qem.part0002", u));
    EXPECT_EQ(entries(dir / "out"), expected);
}

// A part that fails (here at a full disk) leaves nothing it began: no manifest, no side file, no part file.
TEST_F(PartCommand, AFailedPartLeavesNoManifest) {
    ChildSetup setup;
    setup.program = QEMPART_PATH;
    setup.arguments = commandWith({"--parts", "1", "--part", "1"});
    setup.fileSizeLimit = 1000;
    const Outcome outcome = run("", dir, setup);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("error writing 'qry001.qem.part0001.tmp'"), std::string::npos) << outcome.err;
    EXPECT_EQ(entries(dir), std::set<std::string>{});
}

// A second run of a part while another holds it (its manifest's side file, locked) is refused with status 1,
// and leaves the other run's file alone.
TEST_F(PartCommand, ASecondRunOfAPartIsRefusedAndLeavesTheFirstRunsFile) {
    const fs::path side = dir / "phase3.manifest.part0001.new";
    const int held = open(side.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    ChildSetup setup;
    setup.program = QEMPART_PATH;
    setup.arguments = commandWith({"--parts", "1", "--part", "1"});
    const Outcome outcome = run("", dir, setup);
    close(held);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "another run is writing part 1 of phase 3 in this folder\n");
    EXPECT_EQ(entries(dir), std::set<std::string>{side.filename().string()});
}

}  // namespace
}  // namespace qemtest
