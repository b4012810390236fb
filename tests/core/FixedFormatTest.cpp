#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "core/FixedFormat.h"

using namespace qem;

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
    return produced([v](char* out) { return fixed_format::rightInt<10>(out, v); });
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
    // Wider than the column, and a column wider than any value.
    for (int64_t v : {int64_t{9999999999}, int64_t{10000000000}, -int64_t{999999999}, INT64_MAX, INT64_MIN})
        EXPECT_EQ(viaRightInt(v), printed("%10ld", static_cast<long>(v))) << v;
    for (int64_t v : {int64_t{0}, int64_t{7}, int64_t{10}, int64_t{999999999999999999}, INT64_MAX, int64_t{-3}, INT64_MIN})
        EXPECT_EQ(produced([v](char* out) { return fixed_format::rightInt<24>(out, v); }),
                  printed("%24ld", static_cast<long>(v)))
            << v;
}

// Amounts of whole dollars print as the double they convert to: the fast
// path from 0 to 9,999,999, the library for the rest (negative, wider than
// the column, beyond the doubles' exact integers).
TEST(FixedFormat, WholeMoneyMatchesPrintfTwoDecimals) {
    const auto viaMoney = [](int64_t v) { return produced([v](char* out) { return fixed_format::wholeMoney(out, v); }); };
    // Every amount the data set can hold (0 .. 699, 14 * 4999 / 100) lies well inside this range.
    for (int64_t v = -100000; v <= 1000000; ++v) ASSERT_EQ(viaMoney(v), printed("%10.2lf", double(v))) << v;
    for (int64_t v = 9999000; v <= 10001000; ++v) ASSERT_EQ(viaMoney(v), printed("%10.2lf", double(v))) << v;
    for (int64_t v : {int64_t{999999999999999}, int64_t{1} << 53, (int64_t{1} << 53) + 1, INT64_MAX, INT64_MIN})
        EXPECT_EQ(viaMoney(v), printed("%10.2lf", double(v))) << v;
}

// Costs take the exact rounding path from 0 up to 1,000,000 and the library
// beyond; the values the cost formulas give lie between 0 and 25. Checked:
// every 1/1024 up to 32 (many exact halfway cases), the neighbours of every
// halfway point k + 0.0005 up to 100, random values of every exponent and
// random values in the formulas' range, and the edges of both paths.
TEST(FixedFormat, CostMatchesPrintfThreeDecimals) {
    const auto viaCost = [](double v) { return produced([v](char* out) { return fixed_format::cost(out, v); }); };
    for (int i = 0; i < 32 * 1024; ++i) ASSERT_EQ(viaCost(i / 1024.0), printed("%10.3lf", i / 1024.0)) << i;
    for (int k = 0; k < 100000; ++k) {
        const double halfway = k / 1000.0 + 0.0005;
        for (double v : {std::nextafter(halfway, 0.0), halfway, std::nextafter(halfway, 1e9)})
            ASSERT_EQ(viaCost(v), printed("%10.3lf", v)) << v;
    }
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> formulas(0.0, 25.0);
    for (int i = 0; i < 300000; ++i) {
        const double v = formulas(rng);
        ASSERT_EQ(viaCost(v), printed("%10.3lf", v)) << v;
        // Any bit pattern below 2^20: every exponent from the subnormal ones up.
        const double any = std::ldexp(static_cast<double>(rng() >> 11), -static_cast<int>(rng() % 1100));
        ASSERT_EQ(viaCost(any), printed("%10.3lf", any)) << any;
    }
    const double inf = std::numeric_limits<double>::infinity();
    for (double v : {0.0, -0.0, DBL_MIN, DBL_TRUE_MIN, 0.0005, 0.0015, 0.00049999999999999999, 9.9995, 99999.9995,
                     999999.9994, 999999.9995, std::nextafter(1e6, 0.0), 1e6, 1e7 + 0.25, 1e300, -0.0004, -1.5, -1e6,
                     inf, -inf, std::nan("")})
        EXPECT_EQ(viaCost(v), printed("%10.3lf", v)) << v;
}

TEST(FixedFormat, TextColumnsMatchPrintfS) {
    // Codes of known length are copied whole.
    EXPECT_EQ(produced([](char* out) { return fixed_format::code<12>(out, "K3Q0ZZ81M2AB"); }),
              printed("%12s", "K3Q0ZZ81M2AB"));
    EXPECT_EQ(produced([](char* out) { return fixed_format::code<6>(out, "199605"); }), printed("%-6s", "199605"));
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
