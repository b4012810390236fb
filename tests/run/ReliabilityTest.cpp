// The program's guards, through the real program: one run per folder, a state file that cannot be read, a
// stale side file of the state, output files that are links or devices, and a model too large for memory.
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <string_view>
#include <thread>

#include "ProgramRun.h"
#include "dims/DimensionModel.h"
#include "run/Phases.h"

using namespace qem;

using namespace qemtest;

namespace {

const std::string refusal = "another run of this program is using this folder\n";

// How a file of a data set compares with the same file of another run: its bytes, its lines in sorted order
// (the four-thread files), or the sorted customer-product columns of its lines (inventory values are random).
enum class Compare { bytes, sortedLines, sortedCells };

const std::map<std::string, Compare> phaseOneFiles = {
    {"prodhier.qem", Compare::bytes},      {"prodtree.qem", Compare::bytes}, {"custhier.qem", Compare::bytes},
    {"custtree.qem", Compare::bytes},      {"chanhier.qem", Compare::bytes}, {"chantree.qem", Compare::bytes},
    {"timehier.qem", Compare::bytes},      {"timetree.qem", Compare::bytes}, {"custship.qem", Compare::bytes},
    {"prodcos.qem", Compare::bytes},       {"histsale.qem", Compare::sortedLines},
    {"histinv.qem", Compare::sortedCells},
};
const std::map<std::string, Compare> phaseTwoFiles = {
    {"budget.qem", Compare::sortedLines}, {"currsale.qem", Compare::sortedLines}, {"currinv.qem", Compare::sortedCells}};

std::string comparable(const std::string& text, Compare how) {
    if (how == Compare::bytes) return text;
    std::vector<std::string_view> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.emplace_back(text.data() + start, how == Compare::sortedCells ? std::min<size_t>(24, end - start) : end - start);
    }
    std::sort(lines.begin(), lines.end());
    std::string joined;
    joined.reserve(text.size());
    for (const std::string_view line : lines) (joined += line) += '\n';
    return joined;
}

// The files of a phase (1 or 2) as a single run writes them from the answers and seed of the given state.
std::map<std::string, std::string> singleRun(const StateFields& s, int phase) {
    TempDir folder;
    context.state = GeneratorState{s[0], s[1], s[2], s[3], s[4], 1};
    initContext();
    if (phase == 1)
        writeFirstPhaseFiles();
    else
        writeSecondPhaseFiles();
    std::map<std::string, std::string> texts;
    for (const auto& [name, how] : phase == 1 ? phaseOneFiles : phaseTwoFiles)
        texts[name] = comparable(readFile(name), how);
    return texts;
}

// Expects the files of a phase in dir (or, where given, their texts) to be those of a single run from the
// state in dir.
void expectSingleRunFiles(const fs::path& dir, int phase, std::map<std::string, std::string> texts = {}) {
    const std::map<std::string, std::string> expected = singleRun(stateOf(readFile(dir / stateName)), phase);
    for (const auto& [name, how] : phase == 1 ? phaseOneFiles : phaseTwoFiles) {
        if (!texts.count(name)) texts[name] = readFile(dir / name);
        EXPECT_TRUE(comparable(texts[name], how) == expected.at(name)) << name << " differs from a single run's";
    }
}

class Reliability : public ProgramRun {
protected:
    // A run that waits for its answers on a pipe that the test writes to.
    struct Waiting {
        Child child;
        int answers;  // the write end of its standard input
    };

    Waiting startWaiting() {
        int ends[2];
        EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
        const Child child = start(ends[0], dir);
        close(ends[0]);
        return {child, ends[1]};
    }

    // Starts two runs at once in dir and waits for the first of them to end: it must have been refused
    // without touching the folder. Returns the other, which is still running.
    Waiting startPairAndExpectOneRefusal() {
        const std::set<std::string> before = entries(dir);
        const std::string stateBefore = fs::exists(dir / stateName) ? readFile(dir / stateName) : "";
        Waiting runs[2] = {startWaiting(), startWaiting()};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        int status = 0, ended = -1;
        while (ended < 0 && std::chrono::steady_clock::now() < deadline) {
            for (int i = 0; i < 2 && ended < 0; ++i)
                if (waitpid(runs[i].child.pid, &status, WNOHANG) == runs[i].child.pid) ended = i;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (ended < 0) {
            ADD_FAILURE() << "neither run ended";
            for (Waiting& w : runs) {
                kill(w.child.pid, SIGKILL);
                finish(w.child);
                close(w.answers);
            }
            return {{-1, {}, {}}, -1};
        }
        close(runs[ended].answers);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
        EXPECT_EQ(readFile(runs[ended].child.err), refusal);
        EXPECT_EQ(readFile(runs[ended].child.out), "");
        EXPECT_EQ(entries(dir), before);
        if (!stateBefore.empty()) {
            EXPECT_EQ(readFile(dir / stateName), stateBefore);
        }
        return runs[1 - ended];
    }
};

}  // namespace

// The test holds the folder's lock itself: a run of any phase is refused at once and touches nothing.
TEST_F(Reliability, ARunIsRefusedWhileTheFolderIsLocked) {
    const int folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(folder, LOCK_EX | LOCK_NB), 0);
    for (const int phase : {0, 1, 2}) {
        SCOPED_TRACE(phase);
        const std::string state = phase ? stateBytes({10, 10, 2, 1, 12345, phase}) : "";
        if (phase) writeFile(dir / stateName, state);
        const Outcome r = run(validAnswers);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, refusal);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(entries(dir), phase ? std::set<std::string>{stateName} : std::set<std::string>{});
        if (phase) {
            EXPECT_EQ(readFile(dir / stateName), state);
        }
    }
    close(folder);
    EXPECT_EQ(run("").status, 0) << "the lock ends with its holder";
}

// Two first runs started together: the one that takes the folder waits for its answers, so the other
// certainly meets it there.
TEST_F(Reliability, OfTwoFirstRunsOneIsRefusedAndTheOtherWritesASingleRunsFiles) {
    const Waiting winner = startPairAndExpectOneRefusal();
    ASSERT_GE(winner.answers, 0);
    ASSERT_EQ(write(winner.answers, validAnswers.data(), validAnswers.size()),
              static_cast<ssize_t>(validAnswers.size()));
    close(winner.answers);
    const Outcome r = finish(winner.child);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(r.out.size() - 5), "Done\n");
    expectSingleRunFiles(dir, 1);
}

// Two second runs from the same state: the first file of the phase is a named pipe, at whose opening the
// run that took the folder waits until the test reads it.
TEST_F(Reliability, OfTwoSecondRunsOneIsRefusedAndTheOtherWritesASingleRunsFiles) {
    writeFile(dir / stateName, stateBytes({10, 10, 2, 1, 12345, 1}));
    ASSERT_EQ(mkfifo((dir / "budget.qem").c_str(), 0644), 0);
    const Waiting winner = startPairAndExpectOneRefusal();
    ASSERT_GE(winner.answers, 0);
    close(winner.answers);
    const std::string budget = readFile(dir / "budget.qem");
    const Outcome r = finish(winner.child);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "starting phase 2\nDone\n");
    EXPECT_EQ(stateOf(readFile(dir / stateName)), (StateFields{10, 10, 2, 1, 12345, 2}));
    expectSingleRunFiles(dir, 2, {{"budget.qem", budget}});
}

// kill -9 ends a run that holds the folder, and with it the lock.
TEST_F(Reliability, AKilledRunLeavesTheFolderFree) {
    const Waiting held = startWaiting();
    // It holds the folder once it asks its first question.
    for (int i = 0; i < 6000 && readFile(held.child.out).find("Enter a number of channels") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(run(validAnswers).err, refusal);
    kill(held.child.pid, SIGKILL);
    EXPECT_EQ(finish(held.child).status, -1);
    close(held.answers);
    const Outcome r = run(validAnswers);
    EXPECT_EQ(r.status, 0) << r.err;
}

// Only a missing state file starts a new data set; one that exists but cannot be read is an error.
TEST_F(Reliability, AStateFileThatCannotBeReadIsReportedNotTakenForNone) {
    const std::string state = stateBytes({10, 10, 2, 1, 12345, 2});
    const struct {
        const char* what;
        int error;
        void (*make)(const fs::path& state, const std::string& bytes);
    } cases[] = {
        {"a symbolic link to itself", ELOOP, [](const fs::path& p, const std::string&) { fs::create_symlink(p.filename(), p); }},
        {"a folder", EISDIR, [](const fs::path& p, const std::string&) { fs::create_directory(p); }},
        // As the user nobody when the tests run as root, who may read everything.
        {"a file this user may not read", EACCES,
         [](const fs::path& p, const std::string& bytes) {
             writeFile(p, bytes);
             fs::permissions(p, fs::perms::none);
         }},
    };
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir / stateName);
        c.make(dir / stateName, state);
        const Outcome r = run(validAnswers, dir, {.unprivileged = true});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("error reading '") + stateName + "'\n" + strerror(c.error) + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(entries(dir), std::set<std::string>{stateName});
    }
    EXPECT_EQ(readFile(dir / stateName), state);
}

// A side file left behind is removed, never written through: a link to a file elsewhere leaves that file as
// it was. One that cannot be removed fails the save with its own name. Output files that are links to a
// device are written through, and need no sync.
TEST_F(Reliability, StaleSideFileAndDeviceOutputs) {
    const std::string phaseOne = stateBytes({10, 10, 2, 1, 12345, 1});
    const fs::path side = dir / (std::string(stateName) + ".new"), outside = capture / "outside";
    writeFile(dir / stateName, phaseOne);
    writeFile(outside, "not a state");
    fs::create_symlink(outside, side);
    fs::create_symlink("/dev/null", dir / "currinv.qem");
    Outcome r = run("");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "starting phase 2\nDone\n");
    EXPECT_EQ(readFile(outside), "not a state");
    EXPECT_FALSE(fs::exists(fs::symlink_status(side)));
    EXPECT_EQ(fs::status(dir / stateName).type(), fs::file_type::regular);
    EXPECT_EQ(stateOf(readFile(dir / stateName)), (StateFields{10, 10, 2, 1, 12345, 2}));
    EXPECT_EQ(fs::read_symlink(dir / "currinv.qem"), "/dev/null");

    writeFile(dir / stateName, phaseOne);
    fs::create_directories(side / "inside");
    r = run("");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error opening '" + side.filename().string() + "'\n" + strerror(EISDIR) + "\n");
    EXPECT_EQ(readFile(dir / stateName), phaseOne);
}

// A model that cannot fit is named with its size; the process's address space is limited so that the
// attempt fails at once. (Under the sanitizers an allocation failure ends the program instead.)
TEST_F(Reliability, AModelTooLargeForMemoryIsReportedWithItsSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators end the program when memory runs out";
#endif
    const Outcome r = run("3000\n0.1\n10\n", dir, {.addressSpaceLimit = rlim_t{100} << 20});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, formatted("not enough memory for the product table: 3000000 members, %llu bytes\n",
                               3000000ull * sizeof(Member)) +
                         "exception 'out of memory' caught, exiting");
    EXPECT_EQ(r.out.find("Done"), std::string::npos);
    EXPECT_TRUE(entries(dir).empty());
}

// Answers whose data set the programs cannot write correctly are refused before anything is written, the
// limit named: qemgen after its dialogue, qempart (and its sizes) before it starts.
TEST_F(Reliability, AnswersBeyondExactCountsAreRefusedWithNothingWritten) {
    const std::string limit = "cannot write this data set: a writer of histsale.qem would need a record limit of "
                              "2161982950; at most 2147483647\n";
    const std::vector<std::string> part = {"--channels", "160", "--density", "40", "--users", "10", "--seed", "1",
                                           "--phase",    "1",   "--parts",   "1",  "--part",  "1"};
    const struct {
        const char* what;
        ChildSetup setup;
        std::string input, err;
    } cases[] = {
        {"qemgen, first run", {}, "160\n40\n10\n", limit},
        {"qemgen, a state of such answers", {}, "", limit},
        {"qempart", {.program = QEMPART_PATH, .arguments = part}, "", "qempart: " + limit},
        {"qempart --sizes", {.program = QEMPART_PATH, .arguments = {"--sizes", "--channels", "3180", "--density",
                                                                     "0.1", "--users", "10"}},
         "", "qempart: cannot write this data set: a writer of histsale.qem would need a record limit of 2148146702; "
             "at most 2147483647\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& e : fs::directory_iterator(dir)) fs::remove_all(e.path());
        const bool resumed = std::string(c.what).find("state") != std::string::npos;
        if (resumed) writeFile(dir / stateName, stateBytes({160, 10, 800, 1, 1, 1}));
        const Outcome r = run(c.input, dir, c.setup);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.find("Done"), std::string::npos);
        EXPECT_EQ(entries(dir), resumed ? std::set<std::string>{stateName} : std::set<std::string>{});
    }
}

// The third phase in a read-only folder (its query files exist and may be rewritten, but neither its manifest
// can be stored nor the state deleted) fails as a write fails: the state stays, and the next run repeats the
// phase.
TEST_F(Reliability, AThirdPhaseInAReadOnlyFolderFails) {
    const std::string state = stateBytes({10, 10, 2, 1, 12345, 2});
    writeFile(dir / stateName, state);
    for (int u = 1; u <= 10; ++u) writeFile(dir / formatted("qry%03d.qem", u), "");
    // Owned by the user the program runs as; the folder itself is read-only.
    if (geteuid() == 0) {
        ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
        for (const auto& e : fs::directory_iterator(dir)) ASSERT_EQ(chown(e.path().c_str(), 65534, 65534), 0);
    }
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    const Outcome r = run("", dir, {.unprivileged = true});
    fs::permissions(dir, fs::perms::owner_all);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "starting phase 3\n");
    EXPECT_EQ(r.err, std::string("error opening 'phase3.manifest.new'\n") + strerror(EACCES) + "\n");
    EXPECT_EQ(readFile(dir / stateName), state);
    EXPECT_GT(fs::file_size(dir / "qry010.qem"), 0u);
}

// A third phase whose state file cannot be deleted (another user's, in a folder with the sticky bit, where
// only its owner may remove it) fails as a write fails, and takes back the manifest it stored: the state still
// says phase 2, and no manifest calls the data set complete.
TEST_F(Reliability, AThirdPhaseThatCannotDeleteTheStateLeavesNoManifest) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the state is another user's, the run the user nobody's";
    const std::string state = stateBytes({10, 10, 2, 1, 12345, 2});
    writeFile(dir / stateName, state);
    fs::permissions(dir, fs::perms::all | fs::perms::sticky_bit);
    const Outcome r = run("", dir, {.unprivileged = true});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "starting phase 3\n");
    EXPECT_EQ(r.err, std::string("error writing '") + stateName + "'\n" + strerror(EPERM) + "\n");
    EXPECT_EQ(readFile(dir / stateName), state);
    std::set<std::string> expected = {stateName};
    for (int u = 1; u <= 10; ++u) expected.insert(formatted("qry%03d.qem", u));
    EXPECT_EQ(entries(dir), expected);
}
