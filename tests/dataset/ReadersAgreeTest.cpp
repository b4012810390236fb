// The three readers of a data set, qemverify, qemload and qemexport, see every
// shape of a folder the same way: each accepts the same folders, and refuses
// the rest naming the same file with the same message. And qemverify --join
// turns a folder of parts in any mix into its whole files, or refuses and
// leaves nothing behind.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "LoadEnvironment.h"
#include "compress/Zstd.h"
#include "integrity/Crc32.h"
#include "integrity/Manifest.h"

namespace qemload {

namespace fs = std::filesystem;

namespace {

using scratch::readBytes;

void writeBytes(const std::string& path, const std::string& bytes) {
    fs::remove(path);  // never through a link into the original
    std::ofstream(path, std::ios::binary) << bytes;
}

// A folder of links to a data set's files (and its manifests), changed by
// copying where a case changes a file.
struct Shape {
    explicit Shape(const std::string& from) {
        for (const auto& entry : fs::directory_iterator(from))
            fs::create_symlink(entry.path(), fs::path(folder.path()) / entry.path().filename());
    }
    std::string path(const std::string& name) const { return folder.path() + "/" + name; }
    scratch::TempFolder folder{"qemreaders"};
};

scratch::Outcome run(const char* program, std::vector<std::string> args) {
    args.insert(args.begin(), program);
    return scratch::run(args);
}

// The first line a program writes on standard error, without its name.
std::string firstFault(const scratch::Outcome& o, const std::string& program) {
    const std::string line = o.err.substr(0, o.err.find('\n'));
    return line.starts_with(program + ": ") ? line.substr(program.size() + 2) : line;
}

// Compresses a file of the folder as zstd does by hand (one frame), removing the plain one.
void compress(const Shape& s, const std::string& name) {
    const std::string text = readBytes(s.path(name));
    std::string packed;
    ASSERT_TRUE(qem::ZstdEncoder(3).frame(text.data(), text.size(), packed));
    fs::remove(s.path(name));
    writeBytes(s.path(name + ".zst"), packed);
}

class ReadersAgree : public LoadTest {};

}  // namespace

TEST_F(ReadersAgree, OnEveryShapeOfAFolder) {
    struct Case {
        const char* what;
        std::function<std::string()> from;
        std::function<void(Shape&)> shape;
        std::string fault;  // "": every reader accepts the folder
    };
    const Case cases[] = {
        {"parts, some compressed and some not", [&] { return compressedSet(); },
         [&](Shape& s) {
             for (const char* name : {"histsale.qem.part0001", "budget.qem.part0003", "qry004.qem.part0002"}) {
                 fs::remove(s.path(std::string(name) + ".zst"));
                 fs::create_symlink(fs::path(partSet()) / name, s.path(name));
             }
         },
         ""},
        {"a whole file compressed by hand", [&] { return dataSet(); }, [](Shape& s) { compress(s, "histsale.qem"); }, ""},
        {"files joined from parts beside the part manifests", [&] { return partSet(); },
         [&](Shape& s) {
             for (const char* name : {"histsale.qem", "currinv.qem"}) {
                 std::string joined;
                 for (const char* k : {".part0001", ".part0002", ".part0003"}) {
                     joined += readBytes(s.path(name + std::string(k)));
                     fs::remove(s.path(name + std::string(k)));
                 }
                 writeBytes(s.path(name), joined);
             }
         },
         ""},
        {"a file both plain and compressed", [&] { return dataSet(); },
         [](Shape& s) { writeBytes(s.path("histsale.qem.zst"), readBytes(s.path("histsale.qem"))); },
         "histsale.qem and histsale.qem.zst are both present: the same file compressed and not"},
        {"a file both whole and in parts", [&] { return partSet(); },
         [](Shape& s) { writeBytes(s.path("currinv.qem"), readBytes(s.path("currinv.qem.part0001"))); },
         "currinv.qem: both the whole file (currinv.qem) and parts (currinv.qem.part0001 ...) are present"},
        {"a part missing", [&] { return partSet(); }, [](Shape& s) { fs::remove(s.path("budget.qem.part0002")); },
         "budget.qem.part0002: file is missing (phase2.manifest.part0002 describes it)"},
        {"a temporary file of a part being written", [&] { return partSet(); },
         [](Shape& s) { writeBytes(s.path("histsale.qem.part0002.tmp"), "half a line"); },
         "histsale.qem.part0002.tmp: a temporary file of a write that has not finished"},
        {"a named pipe in a manifest's place", [&] { return dataSet(); },
         [](Shape& s) {
             fs::remove(s.path("phase2.manifest"));
             ASSERT_EQ(mkfifo(s.path("phase2.manifest").c_str(), 0600), 0);
         },
         "phase2.manifest: not a readable manifest: not a regular file"},
        {"an inventory value changed, with its CRC-32 in the manifest", [&] { return dataSet(); },
         [](Shape& s) {
             std::string bytes = readBytes(s.path("histinv.qem"));
             const uint32_t before = [&] { qem::Crc32 c; c.add(bytes.data(), bytes.size()); return c.value(); }();
             bytes.replace(195 * 40 + 34, 10, "ABCDEFGHIJ");
             const uint32_t after = [&] { qem::Crc32 c; c.add(bytes.data(), bytes.size()); return c.value(); }();
             writeBytes(s.path("histinv.qem"), bytes);
             std::string manifest = readBytes(s.path("phase1.manifest"));
             manifest.replace(manifest.find(qem::hex(before, 8)), 8, qem::hex(after, 8));
             writeBytes(s.path("phase1.manifest"), manifest);
         },
         "histinv.qem line 41: columns 35-44 (inventory of 199502) 'ABCDEFGHIJ' is not a right-justified whole number"},
        {"a third phase whose state file was not removed", [&] { return dataSet(); },
         [](Shape& s) {
             // The state a second phase leaves: six 32-bit numbers, the phase done last.
             std::string state(24, '\0');
             state[20] = 2;
             writeBytes(s.path("qem1r2genstate"), state);
         },
         "qem1r2genstate is present: the data set is not finished (phases done: 2 of 3)"},
    };
    int loaded = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Shape shape(c.from());
        c.shape(shape);
        const std::string schema = "shape" + std::to_string(loaded++);
        scratch::TempFolder out("qemreaders-out");
        const scratch::Outcome verify = run(QEMVERIFY_PATH, {shape.folder.path()});
        const scratch::Outcome load = qemload({"--schema", schema, conninfo(), shape.folder.path()});
        const scratch::Outcome exported = run(QEMEXPORT_PATH, {shape.folder.path(), out.path() + "/x"});
        if (c.fault.empty()) {
            EXPECT_EQ(verify.status, 0) << verify.err;
            EXPECT_EQ(load.status, 0) << load.err;
            EXPECT_EQ(exported.status, 0) << exported.err;
            EXPECT_EQ(db().queryValue("SELECT count(*) FROM " + schema + ".histsale"),
                      db().queryValue("SELECT count(*) FROM " + plainSchema() + ".histsale"));
            db().exec("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
            continue;
        }
        EXPECT_EQ(verify.status, 1);
        EXPECT_EQ(load.status, 1);
        EXPECT_EQ(exported.status, 1);
        EXPECT_EQ(firstFault(verify, "qemverify"), c.fault) << verify.err;
        EXPECT_EQ(firstFault(load, "qemload"), c.fault) << load.err;
        EXPECT_EQ(firstFault(exported, "qemexport"), c.fault) << exported.err;
        EXPECT_FALSE(fs::exists(out.path() + "/x"));
    }
}

// The join of parts in any mix is the parts' text put together, file by
// file; a bad part leaves nothing under a final name.
TEST_F(ReadersAgree, JoinGivesTheWholeFilesOrNothing) {
    Shape mixed(compressedSet());
    for (const char* name : {"histsale.qem.part0002", "prodcos.qem.part0001", "qry010.qem.part0003"}) {
        fs::remove(mixed.path(std::string(name) + ".zst"));
        fs::create_symlink(fs::path(partSet()) / name, mixed.path(name));
    }
    scratch::TempFolder out("qemreaders-join");
    const std::string whole = out.path() + "/whole";
    const scratch::Outcome joined = run(QEMVERIFY_PATH, {"--join", whole, mixed.folder.path()});
    ASSERT_EQ(joined.status, 0) << joined.err;
    // The parts' text, each plain or decompressed.
    auto textOf = [&](const std::string& part) {
        if (fs::exists(mixed.path(part))) return readBytes(mixed.path(part));
        std::string text;
        qem::ZstdDecoder decoder;
        const std::string packed = readBytes(mixed.path(part + ".zst"));
        EXPECT_EQ(decoder.decode(packed.data(), packed.size(), [&](const char* b, size_t n) { return text.append(b, n), 0; }),
                  "");
        return text;
    };
    int files = 0;
    for (const auto& entry : fs::directory_iterator(partSet())) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(".qem.part0001")) continue;
        const std::string file = name.substr(0, name.size() - 9);
        std::string parts;
        for (const char* k : {".part0001", ".part0002", ".part0003"}) parts += textOf(file + k);
        EXPECT_TRUE(readBytes(whole + "/" + file) == parts) << file;
        ++files;
    }
    EXPECT_EQ(files, 25);
    EXPECT_EQ(run(QEMVERIFY_PATH, {"--regenerate", whole}).status, 0);

    // A changed byte in a part: refused, nothing joined (the folder it made is gone).
    writeBytes(mixed.path("histsale.qem.part0002"), [&] {
        std::string b = readBytes(partSet() + "/histsale.qem.part0002");
        b[100] ^= 1;
        return b;
    }());
    const std::string refused = out.path() + "/refused";
    const scratch::Outcome bad = run(QEMVERIFY_PATH, {"--join", refused, "--compress", "zstd", mixed.folder.path()});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("qemverify: histsale.qem.part0002: CRC-32 "), std::string::npos) << bad.err;
    EXPECT_NE(bad.out.find("nothing joined into " + refused), std::string::npos) << bad.out;
    EXPECT_FALSE(fs::exists(refused));

    // A part missing, found before reading: refused the same way.
    fs::remove(mixed.path("histsale.qem.part0002"));
    const scratch::Outcome missing = run(QEMVERIFY_PATH, {"--join", refused, mixed.folder.path()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("nothing joined into " + refused), std::string::npos) << missing.out;
    EXPECT_FALSE(fs::exists(refused));
}

}  // namespace qemload
