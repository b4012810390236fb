#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integrity/ContentSum.h"
#include "integrity/Crc32.h"

using namespace qem;

namespace {

// The version-2 line hash as docs/formats.md defines it, written plainly:
// blank columns replaced by spaces, zero padding to 16 bytes, little-endian
// words.
uint64_t keyedHash(std::string line, BlankColumns blank) {
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

// The version-3 line hash: XXH3-64 of a copy of the line with its blank columns spaces.
uint64_t xxh3Hash(std::string line, BlankColumns blank) {
    for (size_t i = blank.from; i < blank.to && i < line.size(); ++i) line[i] = ' ';
    return XXH3_64bits(line.data(), line.size());
}

}  // namespace

// Every way of hashing a line (with or without readable bytes after it, the
// blank columns applied word by word, over a copy on the stack or the heap,
// or by a writer's kept copy) gives the defined value of both line hashes,
// for every length up to past a whole cycle of the keys and past the
// longest line a copy on the stack takes.
TEST(ContentSum, EveryPathHashesAsDefined) {
    const BlankColumns blanks[] = {{}, {24, 34}, {24, 194}, {3, 5}, {7, 9}, {0, 300}, {500, 530}};
    for (size_t n = 1; n <= 600; ++n) {
        std::string line;
        for (size_t i = 0; i + 1 < n; ++i) line += static_cast<char>('!' + (i * 37 + n) % 90);
        line += '\n';
        // Bytes after the line that the hash must not see.
        const std::string padded = line + std::string(16, '\xA5');
        for (const BlankColumns& blank : blanks) {
            const uint64_t keyed = keyedHash(line, blank), xxh3 = xxh3Hash(line, blank);
            EXPECT_EQ(lineHash(line.data(), n, blank, LineHash::keyed), keyed) << n << " " << blank.from;
            EXPECT_EQ(lineHashWithSlack(padded.data(), n, blank, LineHash::keyed), keyed) << n << " " << blank.from;
            EXPECT_EQ(lineHash(line.data(), n, blank), xxh3) << n << " " << blank.from;
            EXPECT_EQ(lineHashWithSlack(padded.data(), n, blank), xxh3) << n << " " << blank.from;
            if (blank.any()) {
                // A kept copy that held a longer line before gives the same.
                BlankedLines kept(blank);
                const std::string longer = std::string(500, '#') + std::string(16, '\0');
                kept.hashWithSlack(longer.data(), 500);
                EXPECT_EQ(kept.hashWithSlack(padded.data(), n), xxh3) << n << " " << blank.from;
            }
        }
    }
}

// Known answers of both line hashes and of the CRC-32, computed apart from
// this code (Python: zlib.crc32, xxhash.xxh3_64_intdigest, and the version-2
// formula of docs/formats.md written out), on lines of a data set: fact lines,
// inventory lines whose value columns are blank, lines of every length class
// of XXH3 and a last line without its line end. A change of either function
// fails here.
TEST(ContentSum, KnownAnswers) {
    struct Case {
        const char* name;
        std::string text;
        uint32_t crc;
        uint64_t keyedSum, xxh3Sum;
    };
    std::string longLine;
    for (int i = 0; i < 299; ++i) longLine += static_cast<char>(33 + i * 37 % 90);
    const Case cases[] = {
        {"histsale.qem",
         "V90FCJ3KOY40LOPPQGKFKNLQGHLXW8LFB7US199505        11    516.00\n"
         "V90FCJ3KOY40EDG5K1BOEGF8OTCR1B6R28F8199511         9     21.00\n",
         0x9ecab781, 0x8895971fc83a99f1, 0xf50fd20b2427cfc6},
        {"histinv.qem",
         "W2HE3NJBIEWODI29CFJ1GKO0         5         2         3         2         2         3         5         4"
         "         3         6         4         2         2         3         6         3         4\n"
         "SPSA6KWTYKATCO02ONJ5ZCJE         1         3         2         1         1         2         6         2"
         "         1         5         1         1         1         3         3         2         2\n",
         0x49c9a3e7, 0xffb4fd17351e3063, 0x84152fdbd8266842},
        {"currinv.qem", "D7YM3RE0GNUBC5MRX4YM2XN7         2\nE34PV3PXU1IAVKHD8OT7LO9Z         3\n", 0x271111e1,
         0xcd02c0dde357330c, 0x93b7e77b60749470},
        {"qry001.qem", "a\n" + longLine + "\nlast line, no line end", 0x47f8ac9e, 0x5f1eb42573e97fa4,
         0x6adc4edcad6acd11},
    };
    for (const Case& c : cases) {
        const BlankColumns blank = blankColumnsOf(c.name);
        Crc32 crc;
        crc.add(c.text.data(), c.text.size());
        EXPECT_EQ(crc.value(), c.crc) << c.name;
        EXPECT_EQ(contentSumOf(c.text.data(), c.text.size(), blank, LineHash::keyed), c.keyedSum) << c.name;
        EXPECT_EQ(contentSumOf(c.text.data(), c.text.size(), blank, LineHash::xxh3), c.xxh3Sum) << c.name;
    }

    // The CRC-32 of a megabyte fed in blocks of every size class, and two
    // blocks' CRCs joined.
    std::vector<char> big(1 << 20);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
    for (const size_t block : {size_t{1}, size_t{15}, size_t{64}, size_t{4096}, big.size()}) {
        Crc32 crc;
        for (size_t at = 0; at < big.size(); at += block) crc.add(big.data() + at, std::min(block, big.size() - at));
        EXPECT_EQ(crc.value(), 0x4a24d8fau) << block;
    }
    EXPECT_EQ(Crc32::combine(0x17bc2a46, 0x6c3925fa, big.size() - 1000), 0x4a24d8fau);
    Crc32 check;
    check.add("123456789", 9);
    EXPECT_EQ(check.value(), 0xcbf43926u);  // the CRC-32's own check value
    EXPECT_EQ(Crc32().value(), 0u);
}

// The sum does not depend on the lines' order, and the sums of parts add up.
TEST(ContentSum, SumsIgnoreOrderAndAddUp) {
    const BlankColumns blank{2, 4};
    const std::string a = "alpha 1\n", b = "beta 22\n", c = "gamma\n";
    for (const LineHash hash : {LineHash::keyed, LineHash::xxh3}) {
        const uint64_t whole = contentSumOf((a + b + c).data(), (a + b + c).size(), blank, hash);
        EXPECT_EQ(contentSumOf((c + a + b).data(), (c + a + b).size(), blank, hash), whole);
        EXPECT_EQ(contentSumOf((a + b).data(), (a + b).size(), blank, hash) + contentSumOf(c.data(), c.size(), blank, hash),
                  whole);
        EXPECT_NE(contentSumOf("alpha 2\nbeta 11\ngamma\n", 22, blank, hash), whole);  // values moved between lines
        EXPECT_EQ(contentSumOf("alXXa 1\nbeYY 22\ngaZZa\n", 22, blank, hash), whole);  // only blank columns differ
    }
}
