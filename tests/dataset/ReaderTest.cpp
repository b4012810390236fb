// The reader's pieces: fixed-width fields, a file's text across its stored
// parts (plain and compressed), line ends.
#include <cstring>
#include <fstream>
#include <tuple>

#include "TestSupport.h"
#ifdef QEM_HAVE_ZSTD
#include "compress/Zstd.h"
#endif
#include "dataset/DataFile.h"
#include "dataset/FixedFields.h"
#include "dataset/Lines.h"

namespace qemdata {

namespace ff = fixed_fields;

namespace {

// A file stored as the named files of the current folder, each with the size
// of its text ("m says N bytes" for a compressed one).
DataFile stored(const std::string& name, const std::vector<std::pair<std::string, uint64_t>>& files) {
    std::vector<DataFile::Part> parts;
    for (const auto& [file, size] : files) {
        DataFile::Part p;
        p.path = (std::filesystem::current_path() / file).string();
        p.compressed = file.ends_with(".zst");
        p.size = size;
        p.storedBytes = std::filesystem::file_size(p.path);
        p.sizeSource = "m says " + std::to_string(size) + " bytes";
        parts.push_back(p);
    }
    return DataFile(name, parts, files.size() > 1 || files.front().first != name);
}

TEST(FixedFieldsTest, NumbersMustBeRightJustifiedWithTheirDecimals) {
    struct Case {
        const char* text;
        int decimals;
        long long value;  // -1: refused
    };
    const Case cases[] = {
        {"        12", 0, 12},          {"       -12", 0, -12},     {"    699.00", 2, 69900},
        {"     -0.05", 2, -5},          {"  1234.567", 3, 1234567}, {"0000000001", 0, 1},
        {"12        ", 0, -1},          {"          ", 0, -1},     {"     1 2.0", 2, -1},
        {"    699.0 ", 2, -1},          {"     699.0", 2, -1},     {"    699.00", 0, -1},
        {"       -  ", 0, -1},          {"   +12    ", 0, -1},
    };
    const ff::Field f{"value", 1, 10};
    for (const Case& c : cases) {
        if (c.value == -1) {
            EXPECT_THROW(ff::number(f, c.text, c.decimals), LineError) << c.text;
        } else {
            EXPECT_EQ(ff::number(f, c.text, c.decimals), c.value) << c.text;
        }
    }
    EXPECT_THROW(ff::int32(f, "3000000000"), LineError);
}

TEST(FixedFieldsTest, TextMustSitOnItsSideWithoutInnerBlanks) {
    const ff::Field f{"code", 1, 6};
    EXPECT_EQ(ff::text(f, "AB12  ", true), "AB12");
    EXPECT_EQ(ff::text(f, "  AB12", false), "AB12");
    EXPECT_EQ(ff::text(f, "      ", true, true), "");
    EXPECT_THROW(ff::text(f, "  AB12", true), LineError);
    EXPECT_THROW(ff::text(f, "AB 12 ", true), LineError);
    EXPECT_THROW(ff::text(f, "      ", false), LineError);
}

TEST(DataFileTest, PartsReadAsOneFile) {
    qemtest::TempDir folder;
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(name, std::ios::binary) << text;
    };
    write("a.qem.part0001", "ab");
    write("a.qem.part0002", "");
    write("a.qem.part0003", "cde");
    write("a.qem.part0004", "f");
    const DataFile a = stored("a.qem", {{"a.qem.part0001", 2}, {"a.qem.part0002", 0}, {"a.qem.part0003", 3}, {"a.qem.part0004", 1}});
    EXPECT_EQ(a.size(), 6u);
    std::string text(4, ' ');
    a.read(1, text.data(), 4);
    EXPECT_EQ(text, "bcde");
    EXPECT_EQ(a.where(5, 3), "a.qem line 3 (in a.qem.part0004)");
    EXPECT_THROW(a.read(3, text.data(), 4), DataSetError);
}

#ifdef QEM_HAVE_ZSTD
// Compressed parts beside plain ones read as one text from any offset; each
// compressed file read whole (an empty one too) is shown once; one that is
// cut short, damaged or holds other text than its size is named.
TEST(DataFileTest, CompressedPartsReadAsOneTextAndAreCheckedWhole) {
    qemtest::TempDir folder;
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(name, std::ios::binary) << bytes;
    };
    auto compressed = [](const std::string& text) {
        std::string out;
        EXPECT_TRUE(qem::ZstdEncoder(1).frame(text.data(), text.size(), out));
        return out;
    };
    write("a.qem.part0001.zst", compressed(""));
    write("a.qem.part0002.zst", compressed("abcdef"));
    write("a.qem.part0003", "gh");
    write("a.qem.part0004.zst", compressed("ijkl"));
    const DataFile a = stored("a.qem", {{"a.qem.part0001.zst", 0}, {"a.qem.part0002.zst", 6}, {"a.qem.part0003", 2},
                                        {"a.qem.part0004.zst", 4}});
    ASSERT_EQ(a.size(), 12u);
    std::vector<size_t> whole;
    const CompressedRead seen = [&](const DataFile&, size_t part, uint64_t, uint32_t) { whole.push_back(part); };
    struct Read {
        uint64_t offset;
        size_t length;
        const char* text;
        std::vector<size_t> whole;
    };
    for (const Read& r : {Read{0, 12, "abcdefghijkl", {0, 1, 3}}, Read{3, 5, "defgh", {1}}, Read{0, 2, "ab", {0}},
                          Read{7, 2, "hi", {}}}) {
        std::string text(r.length, ' ');
        whole.clear();
        a.read(r.offset, text.data(), r.length, seen);
        EXPECT_EQ(text, r.text);
        EXPECT_EQ(whole, r.whole) << r.text;
    }
    // In pieces, as the loader's jobs read.
    DataFile::Reader reader(a, 1, seen);
    std::string text(11, ' ');
    whole.clear();
    for (size_t at = 0; at < 11; at += 3) reader.read(text.data() + at, std::min<size_t>(3, 11 - at));
    EXPECT_EQ(text, "bcdefghijkl");
    EXPECT_EQ(whole, (std::vector<size_t>{1, 3}));

    std::string damaged = compressed("ijkl");
    damaged[damaged.size() - 2] ^= 1;  // in its checksum
    const std::tuple<std::string, uint64_t, const char*> faults[] = {
        {compressed("ijkl"), 5, "a.qem.part0004.zst: decompresses to only 4 bytes of text (m says 5 bytes)"},
        {compressed("ijkl"), 3, "a.qem.part0004.zst: decompresses to more than 3 bytes of text (m says 3 bytes)"},
        {compressed("ijkl").substr(0, 8), 4, "a.qem.part0004.zst: cut short: its last frame is incomplete"},
        {damaged, 4, "a.qem.part0004.zst: corrupt compressed data"},
    };
    for (const auto& [bytes, size, message] : faults) {
        write("a.qem.part0004.zst", bytes);
        const DataFile b = stored("a.qem", {{"a.qem.part0001.zst", 0}, {"a.qem.part0002.zst", 6}, {"a.qem.part0003", 2},
                                            {"a.qem.part0004.zst", size}});
        std::string all(b.size(), ' ');
        try {
            b.read(0, all.data(), all.size());
            ADD_FAILURE() << message;
        } catch (const DataSetError& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, strlen(message)), message);
        }
    }
}
#endif

// Lines end as the file's first line does: LF or CR LF.
TEST(LinesTest, LineEndsFollowTheFirstLine) {
    qemtest::TempDir folder;
    const std::pair<const char*, const char*> files[] = {
        {"ab\ncd\n", ""},
        {"ab\r\ncd\r\n", ""},
        {"ab\r\ncd\n", "f.qem line 2: ends with LF alone, where the file's first line ends with CR LF"},
        {"ab\ncd\r\n", "f.qem line 2: ends with CR LF, where the file's first line ends with LF alone"},
        {"ab\ncde\n", "f.qem line 2: has 3 characters, expected 2"},
        {"abc\ncd\n", "f.qem line 1: has 3 characters, expected 2"},
        {"ab\ncd", "f.qem line 2: has 2 characters and no line end, expected 2"},
    };
    for (const auto& [text, message] : files) {
        std::ofstream("f.qem", std::ios::binary) << text;
        std::string seen, error;
        try {
            lines::forEachInFile(stored("f.qem", {{"f.qem", strlen(text)}}), 2,
                                 [&](const char* line, uint64_t) { seen.append(line, 2); });
        } catch (const DataSetError& e) {
            error = e.what();
        }
        EXPECT_EQ(error, message) << text;
        if (!*message) {
            EXPECT_EQ(seen, "abcd");
        }
    }
}

}  // namespace

}  // namespace qemdata
