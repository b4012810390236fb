// qemverify, run as a child process on the smallest data set as qemgen writes it and as qempart writes it in
// three parts per phase, plain and compressed: a fresh set passes (with --regenerate too); each kind of damage
// is named. The sets
// are written once; each case works on a copy made of hard links, a file copied before it is changed. And
// the reading of files in pieces, in process: the figures are those of the whole file, however lines fall
// across the pieces.
#include <atomic>
#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <sstream>

#include "compress/Zstd.h"
#include "integrity/ContentSum.h"
#include "integrity/Crc32.h"
#include "integrity/Manifest.h"
#include "integrity/ManifestVersions.h"
#include "run/ProgramRun.h"

namespace qemtest {
namespace {

const std::vector<std::string> partAnswers = {"--channels", "10", "--density", "0.1", "--users", "10", "--seed", "-99"};

class Verify : public ProgramRun {
public:
    static void TearDownTestSuite() {
        if (!sets.empty()) fs::remove_all(sets);
        sets.clear();
    }

    // The data sets, written on first use: "whole" by qemgen's three phases, "parts" by qempart, 3 parts
    // of each phase, and "zst" the same parts compressed.
    const fs::path& setsFolder() {
        if (!sets.empty()) return sets;
        std::string folder = (dir.parent_path() / "qemverifysetsXXXXXX").string();
        EXPECT_TRUE(mkdtemp(folder.data()));
        sets = folder;
        fs::create_directory(sets / "whole");
        for (const std::string& input : {validAnswers, std::string(), std::string()})
            EXPECT_EQ(run(input, sets / "whole").status, 0);
        fs::create_directory(sets / "parts");
        for (const char* phase : {"1", "2", "3"})
            for (const char* part : {"1", "2", "3"}) EXPECT_EQ(qempart(sets / "parts", phase, part).status, 0);
        fs::create_directory(sets / "zst");
        for (const char* phase : {"1", "2", "3"})
            for (const char* part : {"1", "2", "3"})
                EXPECT_EQ(qempart(sets / "zst", phase, part, "-99", {"--compress", "zstd"}).status, 0);
        return sets;
    }

    Outcome qempart(const fs::path& out, const char* phase, const char* part, const char* seed = "-99",
                    const std::vector<std::string>& more = {}) {
        ChildSetup setup;
        setup.program = QEMPART_PATH;
        setup.arguments = partAnswers;
        setup.arguments.back() = seed;
        setup.arguments.insert(setup.arguments.end(), more.begin(), more.end());
        for (const char* a : {"--phase", phase, "--parts", "3", "--part", part, "--out"}) setup.arguments.push_back(a);
        setup.arguments.push_back(out);
        return run("", dir, setup);
    }

    // A copy of a set in the test's folder: hard links, so that only what a case changes is copied.
    fs::path copyOf(const std::string& set) {
        const fs::path copy = dir / set;
        fs::create_directory(copy);
        for (const auto& e : fs::directory_iterator(setsFolder() / set)) fs::create_hard_link(e.path(), copy / e.path().filename());
        return copy;
    }

    Outcome verify(const fs::path& folder, std::vector<std::string> arguments = {}) {
        ChildSetup setup;
        setup.program = QEMVERIFY_PATH;
        setup.arguments = std::move(arguments);
        setup.arguments.push_back(folder);
        return run("", dir, setup);
    }

    static inline fs::path sets;
};

// The file's own bytes (a copy where it was a link), changed by `change`.
void changeFile(const fs::path& file, const std::function<void(std::string&)>& change) {
    std::string bytes = readFile(file);
    change(bytes);
    fs::remove(file);
    writeFile(file, bytes);
}

// Line `index` of text (line end included): its offset.
size_t lineAt(const std::string& text, size_t index) {
    size_t at = 0;
    for (size_t i = 0; i < index; ++i) at = text.find('\n', at) + 1;
    return at;
}

// Another seed in a manifest's text: the lowest bit turned over.
void editSeed(std::string& manifest) {
    const size_t at = manifest.find("\nseed ") + 6, end = manifest.find('\n', at);
    manifest.replace(at, end - at, std::to_string(std::stoll(manifest.substr(at, end - at)) ^ 1));
}

// The text of a compressed file with one byte changed, compressed again (a sound frame), and the
// compressed bytes and CRC-32 in its manifest made to agree.
void changeCompressedText(const fs::path& folder, const std::string& name, const std::string& manifestName) {
    std::string text;
    qem::ZstdDecoder decoder;
    const std::string packed = readFile(folder / name);
    ASSERT_EQ(decoder.decode(packed.data(), packed.size(), [&](const char* b, size_t n) { return text.append(b, n), 0; }), "");
    text[5] ^= 1;
    std::string repacked;
    ASSERT_TRUE(qem::ZstdEncoder(1).frame(text.data(), text.size(), repacked));
    changeFile(folder / name, [&](std::string& b) { b = repacked; });
    changeFile(folder / manifestName, [&](std::string& b) {
        std::string error;
        std::optional<qem::Manifest> m = qem::Manifest::parse(b, error);
        ASSERT_TRUE(m) << error;
        for (qem::ManifestFile& f : m->files) {
            if (qem::partFileName(f.name, m->part) + ".zst" != name) continue;
            qem::Crc32 crc;
            crc.add(repacked.data(), repacked.size());
            f.compressedBytes = static_cast<int64_t>(repacked.size());
            f.compressedCrc = crc.value();
        }
        b = m->text();
    });
}

void swapLines(std::string& a, size_t first, std::string& b, size_t second) {
    const size_t i = lineAt(a, first), j = lineAt(b, second);
    const size_t n = a.find('\n', i) + 1 - i;
    ASSERT_EQ(n, b.find('\n', j) + 1 - j) << "lines of one file have one length";
    ASSERT_NE(a.substr(i, n), b.substr(j, n)) << "the lines to swap differ";
    std::string line = a.substr(i, n);
    a.replace(i, n, b.substr(j, n));
    b.replace(j, n, line);
}

TEST_F(Verify, FreshDataSetsPassAndRegenerateFromTheirAnswers) {
    struct Case {
        std::string set;
        std::vector<std::string> arguments;
        size_t rows;  // lines before the summary
    };
    const Case cases[] = {
        {"whole", {}, 25},
        {"whole", {"--regenerate"}, 50},
        {"parts", {}, 75},
        {"parts", {"--regenerate", "--phases", "2,3"}, 39 + 13},
        {"parts", {"--phases", "1", "--part", "2"}, 12},
        {"zst", {"--regenerate"}, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set + " " + (c.arguments.empty() ? "" : c.arguments[0]));
        const Outcome outcome = verify(setsFolder() / c.set, c.arguments);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(static_cast<size_t>(std::count(outcome.out.begin(), outcome.out.end(), '\n')), c.rows + 1)
            << outcome.out;
        EXPECT_NE(outcome.out.find(": ok\n"), std::string::npos) << outcome.out;
        EXPECT_EQ(outcome.out.find(" compressed) read in ") != std::string::npos, c.set == "zst") << outcome.out;
        EXPECT_EQ(outcome.out.find("(regenerated)") != std::string::npos,
                  std::find(c.arguments.begin(), c.arguments.end(), "--regenerate") != c.arguments.end());
    }
}

// On a terminal, standard error carries a status line while the check runs, cleared at its end (elsewhere
// nothing: the fresh sets' standard error above is empty).
TEST_F(Verify, ProgressLineOnATerminal) {
    ChildSetup setup;
    setup.program = QEMVERIFY_PATH;
    setup.arguments = {"--regenerate", "--phases", "3", (setsFolder() / "whole").string()};
    const auto [outcome, terminal] = runOnTerminal("", setup);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_NE(outcome.out.find(": ok\n"), std::string::npos);
    EXPECT_TRUE(terminal.starts_with("\rreading ")) << terminal;
    EXPECT_TRUE(terminal.ends_with("\r\x1b[K")) << terminal;
}

TEST_F(Verify, EveryFaultIsNamed) {
    struct Case {
        std::string what, set;
        std::function<void(Verify&, const fs::path&)> damage;
        std::vector<std::string> faults;   // on standard error
        std::vector<std::string> absent = {};  // not on standard error
        std::vector<std::string> arguments = {};
    };
    const Case cases[] = {
        {"a truncated file", "whole",
         [](Verify&, const fs::path& d) { changeFile(d / "prodcos.qem", [](std::string& b) { b.resize(b.size() / 2 + 3); }); },
         {"prodcos.qem: 5535003 bytes, where phase1.manifest says 11070000"}},
        {"one changed byte", "parts",
         [](Verify&, const fs::path& d) { changeFile(d / "custship.qem.part0002", [](std::string& b) { b[5] ^= 1; }); },
         {"custship.qem.part0002: CRC-32 79c60903, where phase1.manifest.part0002 says 5db0e9f1; content sum "}},
        {"two lines swapped within a part", "parts",
         [](Verify&, const fs::path& d) {
             changeFile(d / "histsale.qem.part0001", [](std::string& b) { swapLines(b, 0, b, 1); });
         },
         {"histsale.qem.part0001: CRC-32"},
         {"content sum"}},
        {"two lines swapped between parts", "parts",
         [](Verify&, const fs::path& d) {
             std::string first = readFile(d / "histsale.qem.part0001"), second = readFile(d / "histsale.qem.part0002");
             swapLines(first, static_cast<size_t>(std::count(first.begin(), first.end(), '\n')) - 1, second, 0);
             changeFile(d / "histsale.qem.part0001", [&](std::string& b) { b = first; });
             changeFile(d / "histsale.qem.part0002", [&](std::string& b) { b = second; });
         },
         {"histsale.qem.part0001: CRC-32 9da236e3, where phase1.manifest.part0001 says 1a62a77a; content sum ",
          "histsale.qem.part0002: CRC-32 d2ed2229, where phase1.manifest.part0002 says 26549a3e; content sum "}},
        {"a missing last part", "parts",
         [](Verify&, const fs::path& d) {
             for (const char* name : {"phase2.manifest", "budget.qem", "currsale.qem", "currinv.qem"})
                 fs::remove(d / (std::string(name) + ".part0003"));
         },
         {"phase2.manifest.part0003 is missing: each phase of the data set has 3 parts (phase1.manifest.part0001)"}},
        {"a stale temporary file", "parts",
         [](Verify&, const fs::path& d) { writeFile(d / "histsale.qem.part0002.tmp", "half a line"); },
         {"histsale.qem.part0002.tmp: a temporary file of a write that has not finished"}},
        {"a part from another seed", "parts",
         [](Verify& v, const fs::path& d) { EXPECT_EQ(v.qempart(d, "3", "2", "12345").status, 0); },
         {"phase3.manifest.part0002 says seed 12345, where phase1.manifest.part0001 says seed -99: manifests of "
          "different data sets"}},
        {"a missing manifest", "whole", [](Verify&, const fs::path& d) { fs::remove(d / "phase2.manifest"); },
         {"phase2.manifest is missing: each phase of the data set has its manifest (phase1.manifest is present)",
          "budget.qem: no manifest lists it", "currinv.qem: no manifest lists it"}},
        {"a part beyond the parts", "parts",
         [](Verify&, const fs::path& d) { fs::copy_file(d / "qry004.qem.part0003", d / "qry004.qem.part0004"); },
         {"qry004.qem.part0004: not a part the manifests describe: the data set has 3 parts (phase1.manifest.part0001)"}},
        {"a file both whole and in parts", "parts",
         [](Verify&, const fs::path& d) { fs::copy_file(d / "currinv.qem.part0001", d / "currinv.qem"); },
         {"currinv.qem: both the whole file (currinv.qem) and parts (currinv.qem.part0001 ...) are present"}},
        {"a compressed part cut short", "zst",
         [](Verify&, const fs::path& d) {
             changeFile(d / "histsale.qem.part0002.zst", [](std::string& b) { b.resize(b.size() / 2); });
         },
         {"histsale.qem.part0002.zst: 2139822 bytes, where phase1.manifest.part0002 says 4279645 compressed bytes"}},
        {"one changed byte in a compressed part", "zst",
         [](Verify&, const fs::path& d) {
             changeFile(d / "custship.qem.part0001.zst", [](std::string& b) { b[b.size() / 2] ^= 1; });
         },
         {"custship.qem.part0001.zst: corrupt compressed data"}},
        {"a sound frame of changed text, its compressed figures in the manifest", "zst",
         [](Verify&, const fs::path& d) { changeCompressedText(d, "prodcos.qem.part0002.zst", "phase1.manifest.part0002"); },
         {"prodcos.qem.part0002.zst: CRC-32 73a57dab, where phase1.manifest.part0002 says 23a944ce; content sum "},
         {"compressed"}},
        {"a part both plain and compressed (another plain where its manifest lists it compressed is sound)", "zst",
         [](Verify& v, const fs::path& d) {
             fs::copy_file(v.setsFolder() / "parts" / "budget.qem.part0002", d / "budget.qem.part0002");
             fs::remove(d / "qry007.qem.part0003.zst");
             fs::copy_file(v.setsFolder() / "parts" / "qry007.qem.part0003", d / "qry007.qem.part0003");
         },
         {"budget.qem.part0002 and budget.qem.part0002.zst are both present: the same part compressed and not"},
         {"qry007"}},
        {"a seed edited in every manifest, regenerated", "whole",
         [](Verify&, const fs::path& d) {
             for (const char* name : {"phase1.manifest", "phase2.manifest", "phase3.manifest"})
                 changeFile(d / name, editSeed);
         },
         {"prodhier.qem: the answers and seed give the content sum", "qry010.qem: the answers and seed give the content sum"},
         {},
         {"--regenerate"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path copy = copyOf(c.set);
        c.damage(*this, copy);
        const Outcome outcome = verify(copy, c.arguments);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_NE(outcome.out.find(" fault"), std::string::npos) << outcome.out;
        for (const std::string& fault : c.faults)
            EXPECT_NE(outcome.err.find("qemverify: " + fault), std::string::npos) << fault << "\n" << outcome.err;
        for (const std::string& text : c.absent) EXPECT_EQ(outcome.err.find(text), std::string::npos) << outcome.err;
        // A file's fault in its line on standard output is on standard error too, and the summary counts them all.
        std::istringstream rows(outcome.out);
        for (std::string row; std::getline(rows, row);) {
            const size_t verdict = row.find(" bytes  ");
            if (verdict == std::string::npos || row.ends_with("  ok")) continue;
            const std::string fault = row.substr(0, row.find(' ')) + ": " + row.substr(verdict + 8, 20);
            EXPECT_NE(outcome.err.find("qemverify: " + fault), std::string::npos) << fault;
        }
        const size_t faults = static_cast<size_t>(std::count(outcome.err.begin(), outcome.err.end(), '\n'));
        EXPECT_NE(outcome.out.find(": " + std::to_string(faults) + (faults == 1 ? " fault\n" : " faults\n")),
                  std::string::npos)
            << outcome.out << outcome.err;
        fs::remove_all(copy);
    }
}

// The edited seed passes the manifests' own checks: only regenerating shows that the files are not the data set
// the manifests describe. A version-1 manifest (no content sums) is noted and checked without them.
TEST_F(Verify, ManifestChecksAloneTrustTheManifests) {
    const fs::path copy = copyOf("parts");
    for (const auto& e : fs::directory_iterator(copy))
        if (e.path().filename().string().starts_with("phase"))
            changeFile(e.path(), editSeed);
    // Part 2 of phase 3 in the first format: no program line, no sums.
    changeFile(copy / "phase3.manifest.part0002", [](std::string& b) {
        std::istringstream in(b);
        std::string text = "qempart manifest 1\n";
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> f;
            std::istringstream fields(line);
            for (std::string w; fields >> w;) f.push_back(w);
            if (f[0] == "file")
                text += f[0] + " " + f[1] + " " + f[2] + " " + f[3] + " " + f[4] + " " + f[6] + " " + f[7] + "\n";
            else if (f[0] != "qem" && f[0] != "program")
                text += line + "\n";
        }
        b = text;
    });
    Outcome outcome = verify(copy);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("phase3.manifest.part0002: version 1, without content sums"), std::string::npos);
    outcome = verify(copy, {"--regenerate", "--phases", "3"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("qemverify: qry001.qem: the answers and seed give the content sum"), std::string::npos)
        << outcome.err;
}

// Manifests of version 2 are checked with their own line hash, regenerated too; a version-2 first line over
// version-3 sums is found out, and so is a phase whose parts' manifests mix the two.
TEST_F(Verify, VersionTwoManifestsAreCheckedWithTheirLineHash) {
    const fs::path whole = copyOf("whole");
    for (const char* name : {"phase1.manifest", "phase2.manifest", "phase3.manifest"})
        changeFile(whole / name, [&](std::string& b) { b = asVersionTwo(b, whole, false); });
    Outcome outcome = verify(whole, {"--regenerate"});
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    changeFile(whole / "phase2.manifest", [](std::string& b) { b.replace(0, 14, "qem manifest 3"); });
    outcome = verify(whole, {"--phases", "2"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("qemverify: budget.qem: content sum "), std::string::npos) << outcome.err;

    const fs::path parts = copyOf("parts");
    changeFile(parts / "phase3.manifest.part0002", [&](std::string& b) { b = asVersionTwo(b, parts, true); });
    outcome = verify(parts, {"--phases", "3"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("phase3.manifest.part0002: manifest version 2, where phase3.manifest.part0001 has "
                               "version 3: content sums of different line hashes in one phase"),
              std::string::npos)
        << outcome.err;
    for (const char* name : {"phase3.manifest.part0001", "phase3.manifest.part0003"})
        changeFile(parts / name, [&](std::string& b) { b = asVersionTwo(b, parts, true); });
    outcome = verify(parts, {"--regenerate", "--phases", "3"});
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
}

TEST_F(Verify, BadCommandLinesEndWithStatusTwo) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--phases", "4"}, "--phases '4'"},
        {{"--phases", "1,,2"}, "--phases '1,,2'"},
        {{"--part", "0"}, "--part '0'"},
        {{"--part", "10000"}, "--part '10000'"},
        {{"--regenerate", "--part", "1"}, "--regenerate needs every part"},
        {{"--colour"}, "unknown option '--colour'"},
        {{"--part", "1", "--part=2"}, "--part is given twice"},
        {{"elsewhere"}, "more than one folder"},
        {{"--phases="}, "--phases ''"},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(message);
        const Outcome outcome = verify(dir, arguments);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find("qemverify: " + message), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find("usage: qemverify"), std::string::npos);
    }
    const Outcome missing = verify(dir / "missing");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos);
}

// Files read in pieces of a megabyte on several threads give the figures of the whole text: lines of
// random lengths across the pieces' ends, a last line without its end, an empty file, the blank columns
// of an inventory file, and a line too long for any data set. Each also compressed (NAME.zst, in two
// frames): decompressed as it is read, the same figures of its text, lines across the decoder's blocks.
}  // namespace
}  // namespace qemtest
