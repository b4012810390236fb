#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "TestSupport.h"
#include "core/OutputFile.h"
#include "integrity/ContentSum.h"
#include "integrity/Crc32.h"

using namespace qem;

namespace {

// Runs f with standard error captured; returns what it wrote there and the text it threw ("" for none).
template <typename F>
std::pair<std::string, std::string> reported(F f) {
    testing::internal::CaptureStderr();
    const std::string thrown = qemtest::thrownText(f);
    return {testing::internal::GetCapturedStderr(), thrown};
}

}  // namespace

// A short text fits the stream's buffer and reaches the device only at close:
// the failure is reported there, once, and the file counts as closed.
TEST(OutputFile, OpenWriteAndCloseFailuresAreReportedWithTheirTexts) {
    qemtest::TempDir directory;
    std::filesystem::create_directory("taken.qem");
    EXPECT_EQ(reported([] { OutputFile file("taken.qem"); }),
              std::pair(std::string("error opening 'taken.qem'\n") + strerror(EISDIR) + "\n", std::string("cannot continue")));

    const std::string full = std::string("error writing '/dev/full'\n") + strerror(ENOSPC) + "\n";
    // (Capturing flushes every open stream, so the file is opened inside the captured part.)
    EXPECT_EQ(reported([] {
                  OutputFile late("/dev/full");
                  late.write("short\n", 6, 1);
                  late.close();
              }),
              std::pair(full, std::string("Oops")));

    const std::string big(1 << 20, 'x');
    OutputFile early("/dev/full");
    EXPECT_EQ(reported([&] { early.write(big.data(), big.size(), 0, "oops"); }), std::pair(full, std::string("oops")));
    EXPECT_EQ(early.bytesWritten(), 0u) << "a failed write is not counted";
    // The stream remembers the failed write: closing reports it again, as data that never reached the file.
    EXPECT_EQ(reported([&] { early.close(); }).second, "Oops");
    EXPECT_EQ(reported([] { OutputFile("/dev/full").write("lost\n", 5, 1); }), std::pair(std::string(), std::string()))
        << "on the failure path the destructor closes without a report";

    OutputFile good("good.qem");
    good.write("line\n", 5, 1);
    good.write("", 0, 0);
    good.write("two\nmore\n", 9, 2);
    EXPECT_EQ(good.bytesWritten(), 14u);
    EXPECT_EQ(good.linesWritten(), 3u);
    // Blocks written apart give the CRC-32 and content sum of the whole text.
    Crc32 whole;
    whole.add("line\ntwo\nmore\n", 14);
    EXPECT_EQ(good.crc32(), whole.value());
    EXPECT_EQ(good.contentSum(), contentSumOf("more\nline\ntwo\n", 14));
    EXPECT_EQ(reported([&] { good.close(); }), std::pair(std::string(), std::string()));
    EXPECT_EQ(qemtest::readFile("good.qem"), "line\ntwo\nmore\n");
}
