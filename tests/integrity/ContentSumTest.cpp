#include <gtest/gtest.h>

#include <string>

#include "integrity/ContentSum.h"

using namespace qem;

namespace {

// The line hash as docs/formats.md defines it, written plainly: blank
// columns replaced by spaces, zero padding to 16 bytes, little-endian words.
uint64_t definedHash(std::string line, BlankColumns blank) {
    const size_t n = line.size();
    for (size_t i = blank.from; i < blank.to && i < n; ++i) line[i] = ' ';
    line.append((16 - n % 16) % 16, '\0');
    unsigned __int128 a = 0;
    for (size_t i = 0; i < line.size(); i += 16) {
        uint64_t w0 = 0, w1 = 0;
        for (int b = 7; b >= 0; --b) {
            w0 = w0 << 8 | static_cast<unsigned char>(line[i + b]);
            w1 = w1 << 8 | static_cast<unsigned char>(line[i + 8 + b]);
        }
        a += static_cast<unsigned __int128>(w0 + content::keys[i / 8 % 16]) * (w1 + content::keys[i / 8 % 16 + 1]);
    }
    return content::mix(static_cast<uint64_t>(a) ^ static_cast<uint64_t>(a >> 64) ^ (n * 0x9E3779B97F4A7C15ull));
}

}  // namespace

// Every way of hashing a line (with or without readable bytes after it, the
// blank columns applied word by word or over a copy) gives the defined value,
// for every length up to past a whole cycle of the keys.
TEST(ContentSum, EveryPathHashesAsDefined) {
    const BlankColumns blanks[] = {{}, {24, 34}, {24, 194}, {3, 5}, {7, 9}, {0, 300}};
    for (size_t n = 1; n <= 300; ++n) {
        std::string line;
        for (size_t i = 0; i + 1 < n; ++i) line += static_cast<char>('!' + (i * 37 + n) % 90);
        line += '\n';
        // Bytes after the line that the hash must not see.
        const std::string padded = line + std::string(16, '\xA5');
        for (const BlankColumns& blank : blanks) {
            const uint64_t expected = definedHash(line, blank);
            EXPECT_EQ(lineHash(line.data(), n, blank), expected) << n << " " << blank.from;
            EXPECT_EQ(lineHashWithSlack(padded.data(), n, blank), expected) << n << " " << blank.from;
        }
    }
}

// The sum does not depend on the lines' order, and the sums of parts add up.
TEST(ContentSum, SumsIgnoreOrderAndAddUp) {
    const BlankColumns blank{2, 4};
    const std::string a = "alpha 1\n", b = "beta 22\n", c = "gamma\n";
    const uint64_t whole = contentSumOf((a + b + c).data(), (a + b + c).size(), blank);
    EXPECT_EQ(contentSumOf((c + a + b).data(), (c + a + b).size(), blank), whole);
    EXPECT_EQ(contentSumOf((a + b).data(), (a + b).size(), blank) + contentSumOf(c.data(), c.size(), blank), whole);
    EXPECT_NE(contentSumOf("alpha 2\nbeta 11\ngamma\n", 22, blank), whole);  // values moved between lines
    EXPECT_EQ(contentSumOf("alXXa 1\nbeYY 22\ngaZZa\n", 22, blank), whole);  // only blank columns differ
}
