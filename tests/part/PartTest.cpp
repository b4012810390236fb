// Parts of a phase (qempart's work) against a whole run: for every file, the
// parts 1..P joined in order are the file a whole run writes when the four
// writers of a batch run one after another (the keys of their last partial
// buffers then come in writer order, as the parts give them out). Joined
// bytes equal means each writer's buffers are whole and in their order, and
// the lines are the whole run's. Inventory values are random per run: those
// files are compared by their code columns. The manifests must describe the
// part files, every part has a file (maybe empty) of every file of its phase,
// and the parts of a phase differ in size by less than a buffer.
#include <filesystem>
#include <sstream>

#include "TestSupport.h"
#include "compress/Zstd.h"
#include "integrity/ContentSum.h"
#include "integrity/Crc32.h"
#include "integrity/Manifest.h"
#include "phase/PhaseFiles.h"
#include "part/PartRun.h"
#include "run/Phases.h"

using namespace qem;

namespace fs = std::filesystem;

namespace {

struct PartCase {
    int32_t channels, densityCode, users, seed;
    std::vector<int32_t> partCounts;
};

void PrintTo(const PartCase& c, std::ostream* out) {
    *out << c.channels << " channels, density code " << c.densityCode << ", " << c.users << " users";
}

// The code columns of every line (customer and product codes, 24 characters).
std::string codeColumns(const std::string& text) {
    std::string codes;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        codes.append(text, start, std::min<size_t>(24, end - start)).push_back('\n');
        start = end + 1;
    }
    return codes;
}

// What a manifest says of its files, by name.
std::map<std::string, ManifestFile> manifestFiles(const std::string& path) {
    std::string error;
    const std::optional<Manifest> manifest = Manifest::parse(qemtest::readFile(path), error);
    EXPECT_TRUE(manifest) << path << ": " << error;
    std::map<std::string, ManifestFile> files;
    if (manifest)
        for (const ManifestFile& f : manifest->files) files[f.name] = f;
    return files;
}

void writeWholeRun(const PartCase& c, int32_t inventorySeed) {
    RunOptions options;
    options.inventorySeed = inventorySeed;
    options.writersInOrder = true;
    for (int32_t phase = 1; phase <= 3; ++phase) {
        context.state = GeneratorState{c.channels, c.users, c.densityCode, 1, c.seed, phase};
        initContext();
        writePhase(phase, options);
    }
}

class Parts : public ::testing::TestWithParam<PartCase> {};

// The next `length` bytes of a stream.
std::string nextBytes(std::ifstream& in, size_t length) {
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

TEST_P(Parts, JoinedPartsAreTheWholeRunsFiles) {
    const PartCase& c = GetParam();
    constexpr int32_t inventorySeed = 424242;
    qemtest::TempDir top;
    fs::create_directory("whole");
    fs::current_path("whole");
    writeWholeRun(c, inventorySeed);
    fs::current_path("..");
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator("whole"))
        if (e.path().extension() == ".qem") names.insert(e.path().filename().string());

    for (const int32_t parts : c.partCounts) {
        SCOPED_TRACE("parts " + std::to_string(parts));
        std::set<std::string> written;
        for (int32_t phase = 1; phase <= 3; ++phase) {
            fs::create_directory("parts");
            fs::current_path("parts");
            std::vector<std::map<std::string, ManifestFile>> listed;
            std::vector<int64_t> partBytes;
            for (int32_t part = 1; part <= parts; ++part) {
                writePart(PartRequest{c.channels, c.densityCode, c.users, c.seed, phase, parts, part, inventorySeed});
                listed.push_back(manifestFiles(manifestName(phase, part)));
                partBytes.push_back(0);
                for (const auto& [name, figures] : listed.back()) {
                    EXPECT_TRUE(fs::exists(partFileName(name, part))) << name << " part " << part;
                    partBytes.back() += figures.bytes;
                }
            }
            // The parts differ by less than the largest buffer of the phase.
            int64_t largestBuffer = 0;
            for (const PhaseFile& f : phaseFiles(phase))
                largestBuffer = std::max(largestBuffer, std::min<int64_t>(byteCount(f.split),
                                                                          int64_t{f.split.capacity} * f.split.lineLength));
            const auto [least, most] = std::minmax_element(partBytes.begin(), partBytes.end());
            EXPECT_LE(*most - *least, largestBuffer) << "phase " << phase;
            fs::current_path("..");
            // Each part file is the next stretch of the whole run's file, and the parts' content sums add up
            // to the whole run's.
            const std::map<std::string, ManifestFile> wholeManifest = manifestFiles("whole/" + manifestName(phase));
            for (const auto& [name, unused] : listed[0]) {
                written.insert(name);
                std::ifstream whole("whole/" + name, std::ios::binary);
                uint64_t sum = 0;
                for (int32_t part = 1; part <= parts; ++part) {
                    const std::string text = qemtest::readFile("parts/" + partFileName(name, part));
                    const ManifestFile& figures = listed[static_cast<size_t>(part - 1)].at(name);
                    EXPECT_EQ(figures.bytes, static_cast<int64_t>(text.size())) << name << " part " << part;
                    EXPECT_EQ(figures.lines, std::count(text.begin(), text.end(), '\n')) << name << " part " << part;
                    Crc32 crc;
                    crc.add(text.data(), text.size());
                    EXPECT_EQ(figures.crc, crc.value()) << name << " part " << part;
                    EXPECT_EQ(figures.sum, contentSumOf(text.data(), text.size(), blankColumnsOf(name))) << name;
                    sum += *figures.sum;
                    const std::string expected = nextBytes(whole, text.size());
                    const bool inventory = name == "histinv.qem" || name == "currinv.qem";
                    ASSERT_TRUE(inventory ? codeColumns(text) == codeColumns(expected) : text == expected)
                        << name << " part " << part;
                }
                EXPECT_EQ(whole.peek(), EOF) << name << ": the parts end before the whole file";
                EXPECT_EQ(wholeManifest.at(name).fileSum, sum) << name;
            }
            fs::remove_all("parts");
        }
        EXPECT_EQ(written, names);
    }
}

// The smallest data sets: 10 channels at 0.1 % (157 MB), 13 channels at
// 0.1 % with 12 users (leaf counts that are not whole blocks, three
// hierarchy levels more). Small files (the channel and time files, one
// buffer) get fewer buffers than parts from P = 2 on, so parts get empty
// files; the sales and aggregate writers are cut inside at every P > 1.
// P = 1 (the whole file), 2 and 3 (long ranges), 7 (cuts that fall across
// the four writers unevenly) and 40 (more parts than the buffers of most
// files) are spread over the two sizes.
INSTANTIATE_TEST_SUITE_P(Sizes, Parts,
                         ::testing::Values(PartCase{10, 2, 10, 1718000000, {1, 3, 40}},
                                           PartCase{13, 2, 12, -123456789, {2, 7}}),
                         [](const auto& info) {
                             return "Channels" + std::to_string(info.param.channels) + "Users" +
                                    std::to_string(info.param.users);
                         });

// Compressed parts, joined as cat joins them, decompress to the plain parts joined, and their manifests
// describe both the text and the compressed bytes.
TEST(CompressedParts, JoinedFramesAreThePlainFiles) {
    qemtest::TempDir top;
    for (const int32_t parts : {1, 3}) {
        SCOPED_TRACE("parts " + std::to_string(parts));
        for (const int32_t level : {0, 1}) {
            const std::string folder = "level" + std::to_string(level) + "parts" + std::to_string(parts);
            fs::create_directory(folder);
            fs::current_path(folder);
            for (int32_t part = 1; part <= parts; ++part) {
                PartRequest request{10, 2, 10, 77, 2, parts, part, 4242};
                request.zstdLevel = level;
                writePart(request);
            }
            fs::current_path("..");
        }
        const std::string plain = "level0parts" + std::to_string(parts), packed = "level1parts" + std::to_string(parts);
        for (const char* name : {"budget.qem", "currsale.qem", "currinv.qem"}) {
            std::string joinedPlain, joinedPacked;
            for (int32_t part = 1; part <= parts; ++part) {
                joinedPlain += qemtest::readFile(plain + "/" + partFileName(name, part));
                const std::string bytes = qemtest::readFile(packed + "/" + partFileName(name, part) + ".zst");
                joinedPacked += bytes;
                const ManifestFile figures = manifestFiles(packed + "/" + manifestName(2, part)).at(name);
                Crc32 crc;
                crc.add(bytes.data(), bytes.size());
                EXPECT_EQ(figures.compressedBytes, static_cast<int64_t>(bytes.size())) << name;
                EXPECT_EQ(figures.compressedCrc, crc.value()) << name;
            }
            std::string decoded;
            ZstdDecoder decoder;
            EXPECT_EQ(decoder.decode(joinedPacked.data(), joinedPacked.size(),
                                     [&](const char* bytes, size_t length) {
                                         decoded.append(bytes, length);
                                         return 0;
                                     }),
                      "");
            EXPECT_EQ(decoder.finish(), "");
            EXPECT_TRUE(decoded == joinedPlain) << name;
        }
    }
}

}  // namespace
