#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "run/Dialogue.h"

using namespace qem;

namespace {

// A stream that reads the given text, as standard input would.
struct TextStream {
    explicit TextStream(const char* text) : buffer(text), file(fmemopen(buffer.data(), buffer.size(), "r")) {}
    ~TextStream() { fclose(file); }
    std::string buffer;
    FILE* file;
};

}  // namespace

TEST(Dialogue, ReadLongTakesOneNumberAndDiscardsAnEntryThatIsNone) {
    TextStream in("  \n\t 42 -7\n+3x abc - 99999999999 123456789012345678901234567890 8");
    int64_t v = 0;
    const int64_t numbers[] = {42, -7, 3};
    for (int64_t n : numbers) {
        ASSERT_EQ(readLong(in.file, v), ReadResult::number);
        EXPECT_EQ(v, n);
    }
    EXPECT_EQ(readLong(in.file, v), ReadResult::notANumber);  // "x", left behind by the number before it
    EXPECT_EQ(readLong(in.file, v), ReadResult::notANumber);  // "abc"
    EXPECT_EQ(readLong(in.file, v), ReadResult::notANumber);  // a sign alone
    ASSERT_EQ(readLong(in.file, v), ReadResult::number);      // too large for 32 bits is the caller's to reject
    EXPECT_EQ(v, 99999999999);
    EXPECT_EQ(readLong(in.file, v), ReadResult::tooLarge);
    ASSERT_EQ(readLong(in.file, v), ReadResult::number);  // the whole overlong entry was consumed
    EXPECT_EQ(v, 8);
    EXPECT_EQ(readLong(in.file, v), ReadResult::endOfInput);
}

TEST(Dialogue, ReadDoubleAcceptsTheUsualForms) {
    TextStream in("0.1\n40 .5 2.5e1 -3 x 1e 7.");
    double v = 0;
    for (double n : {0.1, 40.0, 0.5, 25.0, -3.0}) {
        ASSERT_EQ(readDouble(in.file, v), ReadResult::number);
        EXPECT_EQ(v, n);
    }
    EXPECT_EQ(readDouble(in.file, v), ReadResult::notANumber);
    EXPECT_EQ(readDouble(in.file, v), ReadResult::notANumber);  // an exponent without digits
    ASSERT_EQ(readDouble(in.file, v), ReadResult::number);
    EXPECT_EQ(v, 7.0);
    EXPECT_EQ(readDouble(in.file, v), ReadResult::endOfInput);
}

TEST(Dialogue, DensityCodeIsTwentyTimesThePercentageCutToTenths) {
    EXPECT_EQ(densityCodeOf(0.1), 2);
    EXPECT_EQ(densityCodeOf(40.0), 800);
    EXPECT_EQ(densityCodeOf(0.15), 2);
    EXPECT_EQ(densityCodeOf(0.29), 4);  // 0.29 * 100.0 is just below 29
    EXPECT_EQ(densityCodeOf(2.5), 50);
}
