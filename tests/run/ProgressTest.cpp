// The progress lines of the real program with its standard error on a pseudo-terminal. (With standard error
// in a file, the driver tests hold both streams to the dialogue alone and an empty standard error.)
#include <sys/mount.h>

#include <vector>

#include "ProgramRun.h"

using namespace qem;

using namespace qemtest;

namespace {

class Progress : public ProgramRun {};

const std::vector<std::string> phaseFiles[] = {
    {"prodhier.qem", "prodtree.qem", "custhier.qem", "custtree.qem", "chanhier.qem", "chantree.qem",
     "timehier.qem", "timetree.qem", "histsale.qem", "histinv.qem", "custship.qem", "prodcos.qem"},
    {"budget.qem", "currsale.qem", "currinv.qem"},
    {"qry001.qem", "qry002.qem", "qry003.qem", "qry004.qem", "qry005.qem", "qry006.qem", "qry007.qem",
     "qry008.qem", "qry009.qem", "qry010.qem"},
};

}  // namespace

// Each phase: one line with its bytes and the free space, then for every file in writing order its status line
// (drawn at least once, at the start) cleared and followed by the file's summary, whose lines and bytes are those
// of the file written; the standard output is the dialogue alone.
TEST_F(Progress, OnATerminalEveryPhaseAndFileShowsItsLines) {
    for (int phase = 1; phase <= 3; ++phase) {
        SCOPED_TRACE("phase " + std::to_string(phase));
        const auto [r, terminal] = runOnTerminal(phase == 1 ? validAnswers : "");
        ASSERT_EQ(r.status, 0) << terminal;
        const std::string done = "starting phase " + std::to_string(phase) + "\n" +
                                 (phase == 1 ? "Enter a number of channels (at least 10): Enter a density percentage "
                                               "between 0.1 and 40: Enter a number of users (at least 10): "
                                             : "") +
                                 "Done\n";
        EXPECT_TRUE(r.out.ends_with(done)) << r.out;
        EXPECT_EQ(r.out.find('\r'), std::string::npos);

        std::vector<std::string> lines;
        for (size_t from = 0, end; (end = terminal.find('\n', from)) != std::string::npos; from = end + 1)
            lines.push_back(terminal.substr(from, end - from));
        ASSERT_EQ(lines.size(), phaseFiles[phase - 1].size() + 1) << terminal;
        EXPECT_EQ(terminal.back(), '\n');
        unsigned long long expectedPhaseBytes = 0, freeBytes = 0;
        double megabytes = 0, freeSize = 0;
        char unit[3] = "";
        int parsed = 0;
        sscanf(lines[0].c_str(), "phase %*d writes %lf MB (%llu bytes); %lf %2[MG]B (%llu bytes) free in this folder%n",
               &megabytes, &expectedPhaseBytes, &freeSize, unit, &freeBytes, &parsed);
        EXPECT_TRUE(lines[0].starts_with("phase " + std::to_string(phase) + " writes ")) << lines[0];
        EXPECT_EQ(static_cast<size_t>(parsed), lines[0].size()) << lines[0];
        uint64_t phaseBytes = 0;
        for (size_t i = 1; i < lines.size(); ++i) {
            const std::string& name = phaseFiles[phase - 1][i - 1];
            // Status lines "\r<status>\x1b[K" (one or more), then "\r\x1b[K" and the summary.
            const size_t summary = lines[i].rfind("\r\x1b[K");
            ASSERT_NE(summary, std::string::npos) << lines[i];
            int statusLines = 0;
            for (size_t from = 0; from < summary; ++statusLines) {
                const size_t next = lines[i].find('\r', from + 1);
                const std::string status = lines[i].substr(from, next - from);
                const std::string head = "\rphase " + std::to_string(phase) + "  " + name + "  ";
                EXPECT_TRUE(status.starts_with(head) && status.ends_with(" left\x1b[K") &&
                            status.find(" %  ") != std::string::npos && status.find(" MB/s  ") != std::string::npos)
                    << status;
                from = next;
            }
            EXPECT_GE(statusLines, 1) << lines[i];
            char summaryName[32] = "";
            unsigned long long lineCount = 0, byteCount = 0;
            double seconds = 0;
            parsed = 0;
            sscanf(lines[i].c_str() + summary + 4, "%31s %llu lines %llu bytes %lf s%n", summaryName, &lineCount,
                   &byteCount, &seconds, &parsed);
            EXPECT_EQ(summary + 4 + static_cast<size_t>(parsed), lines[i].size()) << lines[i];
            EXPECT_EQ(summaryName, name);
            const std::string text = readFile(dir / name);
            EXPECT_EQ(lineCount, static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'))) << name;
            EXPECT_EQ(byteCount, text.size()) << name;
            phaseBytes += text.size();
        }
        EXPECT_EQ(expectedPhaseBytes, phaseBytes);
    }
}

// A diagnostic while a status line is shown starts at the line's beginning, the line cleared; no status line
// follows it. On a disk too small for the phase, the phase's line is a warning, and the run goes on until a write
// fails.
TEST_F(Progress, ADiagnosticClearsTheStatusLineAndTooLittleSpaceIsAWarning) {
    const auto expectCleared = [](const std::string& terminal, const std::string& file) {
        const size_t report = terminal.find("error writing '" + file + "'\n");
        ASSERT_NE(report, std::string::npos) << terminal;
        ASSERT_GE(report, 4u);
        EXPECT_NE(terminal.rfind("\rphase 1  " + file + "  ", report), std::string::npos) << terminal;
        EXPECT_EQ(terminal.substr(report - 4, 4), "\r\x1b[K") << terminal;
        EXPECT_EQ(terminal.find('\r', report), std::string::npos) << terminal;
    };
    auto [r, terminal] = runOnTerminal(validAnswers, {.fileSizeLimit = 100000});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(terminal.rfind("phase 1 writes ", 0), 0u) << terminal;
    expectCleared(terminal, "prodhier.qem");

    const fs::path disk = dir / "disk";
    fs::create_directory(disk);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=2m") != 0) GTEST_SKIP() << "no tmpfs: " << strerror(errno);
    std::tie(r, terminal) = runOnTerminal(validAnswers, {}, disk);
    umount(disk.c_str());
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(terminal.starts_with("warning: phase 1 writes ")) << terminal;
    EXPECT_NE(terminal.find(" bytes), but only "), std::string::npos) << terminal;
    EXPECT_NE(terminal.find(" bytes) are free in this folder\n"), std::string::npos) << terminal;
    expectCleared(terminal, "histsale.qem");
}
