// Runs the real program as a child process in a fresh directory, with the answers piped to its standard input,
// and checks its console output, exit status and the files it leaves behind.
#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>

#include "ProgramRun.h"

using namespace qem;

using namespace qemtest;

namespace {

const std::string channelPrompt = "Enter a number of channels (at least 10): ";
const std::string densityPrompt = "Enter a density percentage between 0.1 and 40: ";
const std::string userPrompt = "Enter a number of users (at least 10): ";
const std::string integerReply = "Sorry, that entry didn't translate into an integer >= 10\n";
const std::string numberReply = "Sorry, that entry didn't translate into an number between 0.1 and 40\n";

class Driver : public ProgramRun {};

}  // namespace

TEST_F(Driver, FirstRunAsksThreeQuestionsAndWritesTwelveFilesAndTheState) {
    const int64_t before = time(nullptr);
    const Outcome r = run("9\n10\n0.09\n40.01\nabc\n0.1\n9\n10\n");
    const int64_t after = time(nullptr);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string fixedBanner = "QEM-1v2 File Generator\nVersion 1.0.0.3\n";
    ASSERT_EQ(r.out.rfind(fixedBanner, 0), 0u) << r.out;
    const size_t creditEnd = r.out.find('\n', fixedBanner.size());
    EXPECT_GT(creditEnd, fixedBanner.size());  // a non-empty third line
    EXPECT_EQ(r.out.substr(creditEnd + 1), "starting phase 1\n" + channelPrompt + integerReply + channelPrompt +
                                               densityPrompt + numberReply + densityPrompt + numberReply +
                                               densityPrompt + numberReply + densityPrompt + userPrompt +
                                               integerReply + userPrompt + "Done\n");

    const std::set<std::string> files = {"prodhier.qem", "prodtree.qem", "custhier.qem", "custtree.qem",
                                          "chanhier.qem", "chantree.qem", "timehier.qem", "timetree.qem",
                                          "histsale.qem", "histinv.qem",  "custship.qem", "prodcos.qem"};
    std::set<std::string> expected = files;
    expected.insert(stateName);
    expected.insert("phase1.manifest");
    EXPECT_EQ(entries(dir), expected);
    for (const auto& name : files) EXPECT_GT(fs::file_size(dir / name), 0u) << name;
    const std::string state = readFile(dir / stateName);
    ASSERT_EQ(state.size(), 24u);
    const StateFields fields = stateOf(state);
    EXPECT_EQ(fields, (StateFields{10, 10, 2, 1, fields[4], 1}));
    EXPECT_TRUE(fields[4] >= before && fields[4] <= after);  // the seed is the calendar time of the run
}

TEST_F(Driver, ThreeRunsMakeADataSetAndAFourthStartsAgain) {
    ASSERT_EQ(run("10\n0.1\n12\n").status, 0);
    StateFields expected = stateOf(readFile(dir / stateName));
    Outcome r = run("");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "starting phase 2\nDone\n");
    for (const char* name : {"budget.qem", "currsale.qem", "currinv.qem"}) EXPECT_TRUE(fs::exists(dir / name));
    const std::string secondState = readFile(dir / stateName);
    expected[5] = 2;
    EXPECT_EQ(stateOf(secondState), expected);

    // The third phase, run twice from the same state, writes the same query files.
    std::map<std::string, std::string> queries[2];
    for (auto& files : queries) {
        writeFile(dir / stateName, secondState);
        r = run("");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "starting phase 3\nDone\n");
        EXPECT_FALSE(fs::exists(dir / stateName));
        for (int u = 1; u <= 12; ++u) {
            char name[16];
            snprintf(name, sizeof name, "qry%03d.qem", u);
            ASSERT_TRUE(fs::exists(dir / name)) << name;
            files[name] = readFile(dir / name);
        }
        EXPECT_FALSE(fs::exists(dir / "qry013.qem"));
    }
    EXPECT_TRUE(queries[0] == queries[1]);

    r = run("");
    EXPECT_EQ(r.out.rfind("QEM-1v2 File Generator\n", 0), 0u);
    EXPECT_NE(r.out.find("starting phase 1\n" + channelPrompt), std::string::npos);
}

TEST_F(Driver, StateFileLength) {
    writeFile(dir / stateName, stateBytes({10, 10, 2, 1, 12345, 1}, 23));
    Outcome r = run(validAnswers);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error reading QEM-1 generator status from disk!");
    EXPECT_EQ(r.out, "");

    // Bytes after the 24th are ignored.
    writeFile(dir / stateName, stateBytes({10, 10, 2, 1, 12345, 2}, 30));
    r = run("");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "starting phase 3\nDone\n");
    EXPECT_FALSE(fs::exists(dir / stateName));
}

// A state that no run can have written, the stored phase included (the program stores only 1 and 2), is
// refused before anything is printed or written.
TEST_F(Driver, CorruptStateIsRefusedWithoutWritingAnything) {
    const StateFields corrupt[] = {{10, 10, 2, 0, 12345, 1},   {9, 10, 2, 1, 12345, 1},  {10, 10, 3, 1, 12345, 1},
                                   {10, 10, 802, 1, 12345, 1}, {10, 5, 2, 1, 12345, 1},  {10, 10, 2, 1, 12345, 0},
                                   {10, 10, 2, 1, 12345, 3},   {10, 10, 2, 1, 12345, -1}, {10, 10, 2, 1, 12345, INT32_MAX}};
    for (const StateFields& fields : corrupt) {
        SCOPED_TRACE(::testing::PrintToString(fields));
        writeFile(dir / stateName, stateBytes(fields));
        const Outcome r = run(validAnswers);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "corrupt application internal state initializing context!\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(entries(dir), std::set<std::string>{stateName});
        EXPECT_EQ(readFile(dir / stateName), stateBytes(fields));
    }
}

TEST_F(Driver, EndOfInputWhileAskingEndsTheRunWithoutFiles) {
    for (const std::string input : {"", "10\n", "10 0.1", "abc", "99999999999\n2147484\n", "2147483\n"}) {
        SCOPED_TRACE(input);
        const Outcome r = run(input);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err, "");
        EXPECT_EQ(r.out.find("Done"), std::string::npos);
        EXPECT_TRUE(entries(dir).empty());
    }
    // Channel counts whose product positions do not fit 32 bits are rejected; the largest that fits is accepted.
    const std::string rejected = run("99999999999\n2147484\n").out;
    EXPECT_NE(rejected.find(channelPrompt + integerReply + channelPrompt + integerReply + channelPrompt),
              std::string::npos);
    EXPECT_EQ(rejected.find(densityPrompt), std::string::npos);
    EXPECT_NE(run("2147483\n").out.find(channelPrompt + densityPrompt), std::string::npos);
}

TEST_F(Driver, OutputFileThatCannotBeCreatedFailsThePhase) {
    fs::create_directory(dir / "prodhier.qem");
    const Outcome r = run(validAnswers);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("error opening 'prodhier.qem'\n") + strerror(EISDIR) +
                         "\nexception 'cannot continue' caught, exiting");
    EXPECT_EQ(r.out.find("Done"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / stateName));
}

TEST_F(Driver, FullDiskFailsThePhaseWithoutRecordingIt) {
    const fs::path disk = dir / "disk";
    fs::create_directory(disk);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=2m") != 0) GTEST_SKIP() << "no tmpfs: " << strerror(errno);
    struct Unmount {
        const fs::path& path;
        ~Unmount() { umount(path.c_str()); }
    } unmount{disk};

    Outcome r = run(validAnswers, disk);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("error writing"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(disk / stateName));

    // The second phase, on a disk filled up after the state file was put there, keeps the state of phase 1.
    for (const auto& e : fs::directory_iterator(disk)) fs::remove_all(e.path());
    const std::string state = stateBytes({10, 10, 2, 1, 12345, 1});
    writeFile(disk / stateName, state);
    const std::string fill = "dd if=/dev/zero of='" + (disk / "filler").string() + "' bs=4096 2>/dev/null";
    ASSERT_NE(std::system(fill.c_str()), 0);  // dd stops when the disk is full
    r = run("", disk);
    EXPECT_TRUE(r.status == 1 || r.status == 2) << r.status;
    EXPECT_NE(r.err.find("error writing"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(disk / stateName), state);
}

// Every phase's first file, cut off by a file-size limit: once in the middle (a write fails) and once one
// byte short of its full size (the rest reaches the file only when it is closed, and the close fails).
// The phase fails with the file's name and the system's text, and the state file keeps the previous phase.
TEST_F(Driver, FailedWriteAndFailedCloseFailEachPhase) {
    const std::string tooLarge = strerror(EFBIG);
    const std::string phaseOneDone = stateBytes({10, 10, 2, 1, 12345, 1}), phaseTwoDone = stateBytes({10, 10, 2, 1, 12345, 2});
    const struct {
        const char* file;
        std::string state;  // before the run; empty: a first run
        rlim_t limit;
        int status;
        std::string err;  // the whole of standard error, or (status 2) a part of it
    } cases[] = {
        {"prodhier.qem", "", 100000, 1, "exception 'Oops' caught, exiting"},
        {"prodhier.qem", "", 9000 * 73 - 1, 1, "exception 'Oops' caught, exiting"},
        // Four worker threads fail at their writes: each reports, then the batch ends the process.
        {"budget.qem", phaseOneDone, 1000000, 2, "Oops\n"},
        {"budget.qem", phaseOneDone, 912600 * 51 - 1, 1, "exception 'Oops' caught, exiting"},
        // The query writer's own write failure says "oops"; a failed close says "Oops".
        {"qry001.qem", phaseTwoDone, 100000, 1, "exception 'oops' caught, exiting"},
        {"qry001.qem", phaseTwoDone, 2500 * 169 - 1, 1, "exception 'Oops' caught, exiting"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " cut at " + std::to_string(c.limit));
        for (const auto& e : fs::directory_iterator(dir)) fs::remove_all(e.path());
        if (!c.state.empty()) writeFile(dir / stateName, c.state);
        const Outcome r = run(validAnswers, dir, {.fileSizeLimit = c.limit});
        EXPECT_EQ(r.status, c.status);
        const std::string report = std::string("error writing '") + c.file + "'\n" + tooLarge + "\n";
        if (c.status == 2) {
            EXPECT_EQ(r.err.rfind(report, 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
            EXPECT_EQ(r.err.substr(r.err.size() - 11), "exiting...\n") << r.err;
        } else {
            EXPECT_EQ(r.err, report + c.err);
        }
        EXPECT_EQ(r.out.find("Done"), std::string::npos);
        EXPECT_EQ(fs::file_size(dir / c.file), c.limit);
        if (c.state.empty())
            EXPECT_FALSE(fs::exists(dir / stateName));
        else
            EXPECT_EQ(readFile(dir / stateName), c.state);
    }
}
