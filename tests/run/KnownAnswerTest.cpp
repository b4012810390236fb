// Known-answer tests: whole phases and single file kinds written through the
// library for fixed seeds, compared with digests recorded from the reviewed
// generator. Inventory values are pinned by a fixed inventory seed, and the
// writers of a batch run in order so that the last partial buffers of the
// four-thread files take their keys in a fixed order.
#include "KnownAnswers.h"
#include "Sha256.h"
#include "TestSupport.h"
#include "facts/CostWriters.h"
#include "phase/FileCapacities.h"
#include "run/Phases.h"

using namespace qem;

using qemtest::LineOrder;

namespace {

void initPhase(int32_t channels, int32_t densityCode, int32_t users, int32_t seed, int32_t phase) {
    context.state = GeneratorState{channels, users, densityCode, 1, seed, phase};
    initContext();
}

void expectFiles(const std::string& caseName, const std::vector<std::string>& byBytes,
                 const std::vector<std::string>& bySortedLines = {}) {
    for (const std::string& name : byBytes) qemtest::expectKnownAnswer(caseName, name, LineOrder::asWritten);
    for (const std::string& name : bySortedLines) qemtest::expectKnownAnswer(caseName, name, LineOrder::sorted);
    qemtest::expectKnownFileSet(caseName);
}

std::vector<std::string> queryFiles(int users) {
    std::vector<std::string> names;
    for (int u = 1; u <= users; ++u) names.push_back(qemtest::formatted("qry%03d.qem", u));
    return names;
}

}  // namespace

// 10 channels at 0.1 %: the three phases one after another, each starting
// from a fresh context as a run of the program does.
TEST(KnownAnswers, ThreePhasesAtTenChannels) {
    qemtest::TempDir directory;
    RunOptions options;
    options.inventorySeed = 1718004242;
    options.writersInOrder = true;
    initPhase(10, 2, 10, 1718000000, 1);
    writeFirstPhaseFiles(options);
    initPhase(10, 2, 10, 1718000000, 2);
    writeSecondPhaseFiles(options);
    initPhase(10, 2, 10, 1718000000, 3);
    writeQueryFiles();
    std::vector<std::string> single = {"prodhier.qem", "prodtree.qem", "custhier.qem", "custtree.qem",
                                       "chanhier.qem", "chantree.qem", "timehier.qem", "timetree.qem",
                                       "custship.qem", "prodcos.qem",  "currinv.qem"};
    for (const std::string& name : queryFiles(10)) single.push_back(name);
    expectFiles("phases", single, {"histsale.qem", "histinv.qem", "budget.qem", "currsale.qem"});
}

// 19 channels: 17100 product leaves, one full buffer of 16333 and a partial one.
TEST(KnownAnswers, DimensionAndCostFilesAtNineteenChannels) {
    qemtest::TempDir directory;
    initPhase(19, 2, 10, 77777, 1);
    writeDimensionFiles();
    writeFile<ShippingCostWriter>("custship.qem", capacity::costFiles);
    writeFile<ProductCostWriter>("prodcos.qem", capacity::costFiles);
    expectFiles("dims19", {"prodhier.qem", "prodtree.qem", "custhier.qem", "custtree.qem", "chanhier.qem",
                           "chantree.qem", "timehier.qem", "timetree.qem", "custship.qem", "prodcos.qem"});
}

// 34 channels: 8500 queries per file, one full buffer of 8333 and 167 more.
TEST(KnownAnswers, QueryFilesAtThirtyFourChannels) {
    qemtest::TempDir directory;
    initPhase(34, 6, 12, 3141592, 3);
    writeQueryFiles();
    expectFiles("queries34", queryFiles(12));
}

// The digest routine itself, on the published test messages.
TEST(KnownAnswers, DigestRoutineMatchesPublishedVectors) {
    EXPECT_EQ(qemtest::Sha256::hexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(qemtest::Sha256::hexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    qemtest::Sha256 pieces;
    const std::string million(1000000, 'a');
    for (size_t i = 0; i < million.size(); i += 37) pieces.add(std::string_view(million).substr(i, 37));
    EXPECT_EQ(qemtest::Sha256::hex(pieces.finish()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
