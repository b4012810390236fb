// The content check against the manifests' figures of each part, as every
// reader feeds it: pieces cut anywhere, in any order, plain or decompressed.
#include <random>

#include "TestSupport.h"
#ifdef QEM_HAVE_ZSTD
#include "compress/Zstd.h"
#endif
#include "dataset/ContentCheck.h"
#include "dataset/DataSetError.h"
#include "integrity/ContentSum.h"
#include "integrity/Crc32.h"

namespace qemdata {

namespace {

// Lines of random lengths (none of an inventory line's, whose values are
// checked for form) and bytes.
std::string randomLines(std::mt19937& random, size_t bytes) {
    std::string text;
    while (text.size() < bytes) {
        size_t length = random() % 300;
        if (length == 194 || length == 195) ++length;
        for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('0' + random() % 64));
        text.push_back('\n');
    }
    return text;
}

// The manifests' figures of the text cut into parts at the given line starts.
ExpectedFile expectedOf(const std::string& name, const std::string& text, const std::vector<size_t>& cuts) {
    ExpectedFile e;
    e.name = name;
    size_t from = 0;
    for (size_t k = 0; k <= cuts.size(); ++k) {
        const size_t to = k < cuts.size() ? cuts[k] : text.size();
        ExpectedPart p;
        p.part = static_cast<int32_t>(k + 1);
        p.manifest = "m" + std::to_string(k + 1);
        p.offset = from;
        p.bytes = static_cast<int64_t>(to - from);
        p.lines = std::count(text.begin() + static_cast<long>(from), text.begin() + static_cast<long>(to), '\n') +
                  (to > from && text[to - 1] != '\n');
        qem::Crc32 crc;
        crc.add(text.data() + from, to - from);
        p.crc = crc.value();
        p.sum = qem::contentSumOf(text.data() + from, to - from, qem::blankColumnsOf(name));
        e.parts.push_back(p);
        from = to;
    }
    return e;
}

DataFile storedAs(const std::string& name, const std::string& bytes, uint64_t textSize, bool compressed) {
    const std::string path = std::filesystem::current_path() / (name + (compressed ? ".zst" : ""));
    std::ofstream(path, std::ios::binary) << bytes;
    DataFile::Part p;
    p.path = path;
    p.size = textSize;
    p.storedBytes = bytes.size();
    p.compressed = compressed;
    return DataFile(name, {p}, false);
}

// Shows the file's text to the check in pieces of random sizes, in a random order.
void feedInPieces(ContentCheck& check, const DataFile& file, std::mt19937& random) {
    std::vector<std::pair<uint64_t, uint64_t>> pieces;
    for (uint64_t at = 0; at < file.size();) {
        const uint64_t n = std::min<uint64_t>(file.size() - at, 1 + random() % 200000);
        pieces.emplace_back(at, n);
        at += n;
    }
    std::shuffle(pieces.begin(), pieces.end(), random);
    for (const auto& [at, n] : pieces) {
        std::string bytes(n, '\0');
        file.read(at, bytes.data(), n);
        check.add(file, at, bytes.data(), n);
    }
}

}  // namespace

TEST(ContentCheck, PiecesCutAnywhereGiveEachPartsFigures) {
    qemtest::TempDir folder;
    std::mt19937 random(7);
    const std::string lines = randomLines(random, 3 << 20);
    const std::pair<std::string, std::string> texts[] = {
        {"histinv.qem", lines},  // its blank columns read as spaces
        {"prodcos.qem", lines + "no line end"},
        {"currsale.qem", ""},
        {"budget.qem", "a\n" + std::string(100000, 'x') + "\nb\n"},  // a line longer than any of a data set
    };
    for (const auto& [name, text] : texts) {
        SCOPED_TRACE(name);
        // Parts at line starts, the middle one empty where the text is short.
        std::vector<size_t> cuts;
        for (const size_t at : {text.size() / 3, text.size() / 3, 2 * text.size() / 3}) {
            const size_t line = text.find('\n', at);
            cuts.push_back(line == std::string::npos ? text.size() : line + 1);
        }
        const ExpectedFile expected = expectedOf(name, text, cuts);
        const DataFile file = storedAs(name, text, text.size(), false);
        ContentCheck check({{&file, &expected}}, ContentCheck::Faults::kept);
        feedInPieces(check, file, random);
        check.finish();
        const auto results = check.results(file);
        ASSERT_EQ(results.size(), expected.parts.size());
        for (size_t k = 0; k < results.size(); ++k) {
            const ExpectedPart& e = expected.parts[k];
            EXPECT_TRUE(results[k].read);
            EXPECT_EQ(results[k].lines, e.lines);
            EXPECT_EQ(results[k].crc, e.crc);
            if (name == "budget.qem" && e.bytes > 65536) {  // its sum is not a writer's
                ASSERT_EQ(results[k].faults.size(), 1u);
                EXPECT_TRUE(results[k].faults[0].ends_with("a line longer than 65536 bytes")) << results[k].faults[0];
            } else {
                EXPECT_EQ(results[k].sum, *e.sum);
                EXPECT_EQ(results[k].faults, std::vector<std::string>{});
            }
        }
    }
}

TEST(ContentCheck, FaultsNameThePartThrownOrKept) {
    qemtest::TempDir folder;
    std::mt19937 random(11);
    const std::string text = randomLines(random, 1 << 20);
    const ExpectedFile expected = expectedOf("prodcos.qem", text, {text.find('\n', text.size() / 2) + 1});
    std::string changed = text;
    changed[text.size() - 10] ^= 1;
    const DataFile file = storedAs("prodcos.qem", changed, text.size(), false);
    const std::string fault = "prodcos.qem (part 2 of 2: bytes " + std::to_string(expected.parts[1].offset + 1) +
                              " to " + std::to_string(text.size()) + "): CRC-32 ";
    ContentCheck kept({{&file, &expected}}, ContentCheck::Faults::kept);
    feedInPieces(kept, file, random);
    kept.finish();
    EXPECT_EQ(kept.results(file)[0].faults, std::vector<std::string>{});
    ASSERT_EQ(kept.results(file)[1].faults.size(), 1u);
    EXPECT_TRUE(kept.results(file)[1].faults[0].starts_with(fault)) << kept.results(file)[1].faults[0];
    ContentCheck thrown({{&file, &expected}});
    try {
        feedInPieces(thrown, file, random);
        ADD_FAILURE() << "no fault thrown";
    } catch (const DataSetError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with(fault)) << e.what();
    }
    // What was never read is named before anything is published.
    ContentCheck unread({{&file, &expected}});
    EXPECT_THROW(unread.finish(), DataSetError);
}

// The inventory values, read as spaces by the content sum, are checked for
// their form on their own, as the line parsers check them.
TEST(ContentCheck, InventoryValuesMustBeWholeNumbersFromOneToTwelve) {
    qemtest::TempDir folder;
    std::string line = std::string(12, 'C') + std::string(12, 'P');
    for (int m = 0; m < 17; ++m) line += "         " + std::to_string(m % 9 + 1);
    line += "\n";
    for (const auto& [value, what] : {std::pair<std::string, std::string>{"ABCDEFGHIJ", "is not a right-justified whole number"},
                                      {"        13", "is not an inventory value (1 to 12)"},
                                      {"        0 ", "is not a right-justified whole number"}}) {
        std::string text = line + line + line;
        text.replace(2 * line.size() + 34, 10, value);
        const ExpectedFile expected = expectedOf("histinv.qem", text, {});
        const DataFile file = storedAs("histinv.qem", text, text.size(), false);
        ContentCheck kept({{&file, &expected}}, ContentCheck::Faults::kept);
        kept.add(file, 0, text.data(), text.size());
        ASSERT_EQ(kept.results(file)[0].faults.size(), 1u) << value;
        EXPECT_EQ(kept.results(file)[0].faults[0],
                  "histinv.qem line 3: columns 35-44 (inventory of 199502) '" + value + "' " + what);
    }
}

#ifdef QEM_HAVE_ZSTD
// A compressed file's text in the pieces a reader reads it in, and its own
// bytes and CRC-32 where its manifest gives them.
TEST(ContentCheck, CompressedPartsAreCheckedByTextAndBytes) {
    qemtest::TempDir folder;
    std::mt19937 random(3);
    const std::string text = randomLines(random, 1 << 20);
    std::string packed;
    ASSERT_TRUE(qem::ZstdEncoder(1).frame(text.data(), text.size(), packed));
    ExpectedFile expected = expectedOf("currsale.qem", text, {});
    qem::Crc32 crc;
    crc.add(packed.data(), packed.size());
    for (const bool sound : {true, false}) {
        expected.parts[0].compressedBytes = static_cast<int64_t>(packed.size()) + (sound ? 0 : 1);
        expected.parts[0].compressedCrc = crc.value();
        const std::string path = std::filesystem::current_path() / "currsale.qem.part0001.zst";
        std::ofstream(path, std::ios::binary) << packed;
        DataFile::Part p{path, 0, text.size(), true, packed.size(), "m1 says"};
        const DataFile file("currsale.qem", {p}, true);
        ContentCheck check({{&file, &expected}}, ContentCheck::Faults::kept);
        DataFile::Reader reader(file, 0, [&](const DataFile& f, size_t k, uint64_t n, uint32_t c) {
            check.addCompressed(f, k, n, c);
        });
        std::string piece;
        for (uint64_t at = 0; at <= text.size();) {
            piece.resize(std::min<uint64_t>(text.size() - at, 1 + random() % 300000));
            reader.read(piece.data(), piece.size());
            check.add(file, at, piece.data(), piece.size());
            at += piece.size();
            if (piece.empty()) break;
        }
        check.finish();
        EXPECT_EQ(check.results(file)[0].faults, std::vector<std::string>{});
        const auto compressed = check.compressedResults(file);
        ASSERT_EQ(compressed.size(), 1u);
        EXPECT_EQ(compressed[0].bytes, packed.size());
        EXPECT_EQ(compressed[0].fault.empty(), sound) << compressed[0].fault;
    }
}
#endif

}  // namespace qemdata
