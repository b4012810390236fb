#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "core/FixedFormat.h"

namespace {

// The bytes a helper wrote, up to the position it returned.
template <typename Format>
std::string produced(Format format) {
    char buffer[512];
    return std::string(buffer, static_cast<size_t>(format(buffer) - buffer));
}

std::string printed(const char* format, auto value) {
    char buffer[512];
    return std::string(buffer, static_cast<size_t>(snprintf(buffer, sizeof buffer, format, value)));
}

std::string viaRightInt(int64_t v) {
    return produced([v](char* out) { return fixed_format::rightInt(out, v, 10); });
}

std::string viaMoney(double v) {
    return produced([v](char* out) { return fixed_format::money(out, v); });
}

}  // namespace

TEST(FixedFormat, RightIntMatchesPrintfD) {
    for (int32_t v = -100000; v <= 2000000; ++v) ASSERT_EQ(viaRightInt(v), printed("%10d", v));
    std::mt19937 rng(99);
    for (int i = 0; i < 200000; ++i) {
        const int32_t v = static_cast<int32_t>(rng());
        ASSERT_EQ(viaRightInt(v), printed("%10d", v));
    }
    for (int32_t v : {INT32_MIN, INT32_MIN + 1, INT32_MAX, -999999999, 999999999, 1000000000})
        EXPECT_EQ(viaRightInt(v), printed("%10d", v));
}

// Whole amounts take the fast path; -0.0, fractions, huge and non-finite
// values take the fallback; all must print exactly as "%10.2lf".
TEST(FixedFormat, MoneyMatchesPrintfTwoDecimals) {
    // Every amount the data set can hold (0 .. 849, 14 * 4999 / 100) lies well inside this range.
    for (int32_t v = -100000; v <= 1000000; ++v) ASSERT_EQ(viaMoney(v), printed("%10.2lf", double(v)));
    for (int32_t v = 9999000; v <= 10001000; ++v) ASSERT_EQ(viaMoney(v), printed("%10.2lf", double(v)));
    const double inf = std::numeric_limits<double>::infinity();
    for (double v : {-0.0, 0.5, -0.5, 0.005, 0.015, 1.125, 2.675, 1234.565, 99999.995, -3.14159, 1e-300, 1e9,
                     123456789012.0, 999999999999999.0, 1e15, 1e15 + 2, -1e15, 4e15 + 1, 1e20, 1e300, DBL_MAX,
                     -DBL_MAX, DBL_MIN, inf, -inf, std::nan("")})
        EXPECT_EQ(viaMoney(v), printed("%10.2lf", v)) << v;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> spread(-1e7, 1e7);
    for (int i = 0; i < 100000; ++i) {
        const double v = spread(rng), whole = std::trunc(v * 1e4);
        ASSERT_EQ(viaMoney(v), printed("%10.2lf", v));
        ASSERT_EQ(viaMoney(whole), printed("%10.2lf", whole));
    }
}

TEST(FixedFormat, TextColumnsMatchPrintfS) {
    const std::string source = "ABCDEFGHIJKLMN";
    for (size_t len = 0; len <= source.size(); ++len) {
        const std::string text = source.substr(0, len);
        const char* s = text.c_str();
        for (int width : {6, 12}) {
            const std::string right = "%" + std::to_string(width) + "s", left = "%-" + std::to_string(width) + "s";
            EXPECT_EQ(produced([&](char* out) { return fixed_format::rightText(out, s, width); }),
                      printed(right.c_str(), s));
            EXPECT_EQ(produced([&](char* out) { return fixed_format::leftText(out, s, width); }),
                      printed(left.c_str(), s));
        }
    }
}
