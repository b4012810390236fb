// The size arithmetic against the files of a small data set written through the library: 11 channels, an odd
// count, so that the sales files leave out the remainder of their records (C mod 4 = 2).
#include "TestSupport.h"
#include "phase/DataSetSize.h"
#include "run/Phases.h"

using namespace qem;

TEST(DataSetSize, EveryFileOfEveryPhaseHasTheComputedLinesAndBytes) {
    qemtest::TempDir directory;
    std::set<std::string> expectedNames;
    for (int32_t phase = 1; phase <= 3; ++phase) {
        SCOPED_TRACE("phase " + std::to_string(phase));
        context.state = GeneratorState{11, 10, 2, 1, 1718000000, phase};
        initContext();
        if (phase == 1) writeFirstPhaseFiles();
        if (phase == 2) writeSecondPhaseFiles();
        if (phase == 3) writeQueryFiles();
        uint64_t phaseBytes = 0;
        for (int64_t i = 0; i < phaseFileCount(phase); ++i) {
            const std::string name = phaseFileName(phase, i);
            expectedNames.insert(name);
            const std::string text = qemtest::readFile(name);
            const std::optional<FileSize> size = expectedFileSize(name);
            ASSERT_TRUE(size) << name;
            EXPECT_EQ(size->lines, static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'))) << name;
            EXPECT_EQ(size->bytes(), text.size()) << name;
            phaseBytes += text.size();
        }
        EXPECT_EQ(expectedPhaseBytes(phase), phaseBytes);
        std::set<std::string> written;
        for (const auto& e : std::filesystem::directory_iterator(".")) written.insert(e.path().filename().string());
        EXPECT_EQ(written, expectedNames);
    }
    EXPECT_EQ(phaseFileCount(1), 12);
    EXPECT_EQ(phaseFileCount(3), 10);
    for (const char* other : {"qry000.qem", "qry011.qem", "qry01.qem", "qry0001.qem", "qry1.qem", "qryx01.qem",
                              "qem1r2genstate", "histsale"})
        EXPECT_FALSE(expectedFileSize(other)) << other;
}
