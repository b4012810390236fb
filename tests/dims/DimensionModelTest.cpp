#include <gtest/gtest.h>

#include <tuple>

#include "TestSupport.h"
#include "core/RandomGenerator.h"
#include "dims/DimensionModel.h"

using namespace qem;

using qemtest::thrownText;

namespace {

// Members per level; the table must be stored level by level.
std::vector<int64_t> levelSizes(const DimensionTable& table) {
    std::vector<int64_t> sizes;
    for (const Member& m : table.members) {
        EXPECT_GE(static_cast<size_t>(m.level) + 1, sizes.size()) << "level order at " << m.index;
        sizes.resize(std::max(sizes.size(), static_cast<size_t>(m.level) + 1));
        ++sizes[static_cast<size_t>(m.level)];
    }
    return sizes;
}

// Leaves first; parents one level up in the same table, none on the top level;
// blocks of children in parent order; childCount equal to the real number of
// children where it is kept, 0 elsewhere; product marks on the upper 28% of the
// codes and on exactly those Classes, Groups and Families whose codes all are.
void checkShape(const DimensionTable& t, bool countsChildren, bool marked) {
    const int topLevel = t.members.back().level;
    const int32_t firstMarked = static_cast<int32_t>(int64_t{t.leafCount} * 72 / 100);
    std::vector<int32_t> children(t.members.size(), 0);
    std::vector<bool> allMarked(t.members.size(), marked);
    for (const Member& m : t.members) {  // children always precede their parents
        const size_t i = static_cast<size_t>(m.index);
        ASSERT_EQ(&t.members[i], &m);
        EXPECT_EQ(m.index < t.leafCount, m.level == 0) << m.index;
        if (m.level == 0) allMarked[i] = marked && m.index >= firstMarked;
        EXPECT_EQ(m.mark, m.level <= 3 && allMarked[i] ? 1 : 0) << m.index;
        if (m.level == topLevel) {
            EXPECT_EQ(m.parent, nullptr) << m.index;
            continue;
        }
        ASSERT_TRUE(m.parent > &m && m.parent < t.members.data() + t.members.size()) << m.index;
        EXPECT_EQ(m.parent->level, m.level + 1) << m.index;
        EXPECT_TRUE(i == 0 || t.members[i - 1].level != m.level || t.members[i - 1].parent <= m.parent) << m.index;
        ++children[static_cast<size_t>(m.parent->index)];
        if (!allMarked[i]) allMarked[static_cast<size_t>(m.parent->index)] = false;
    }
    for (const Member& m : t.members)
        EXPECT_EQ(m.childCount, countsChildren ? children[static_cast<size_t>(m.index)] : 0) << m.index;
}

// A seed whose private stream yields value as its draw number position (from 0).
int32_t seedGivingDraw(int position, int32_t value) {
    for (int32_t seed = 1;; ++seed) {
        RandomGenerator g(seed);
        for (int i = 0; i < position; ++i) g.nextInt();
        if (g.nextInt() == value) return seed;
    }
}

}  // namespace

TEST(DimensionModel, TablesFollowTheLevelRules) {
    const struct {
        int32_t n;
        std::vector<int64_t> customers, products;
    } cases[] = {{10, {900, 99, 1}, {9000, 605, 300, 75, 15, 4, 1}},
                 {100, {9000, 999, 1}, {90000, 6050, 3000, 750, 150, 49, 1}}};
    // A capital letter, then 11 digits or capital letters, then the end.
    auto codeForm = [](const char* code) {
        auto upper = [](char ch) { return ch >= 'A' && ch <= 'Z'; };
        auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
        if (!upper(code[0])) return false;
        for (int i = 1; i < 12; ++i)
            if (!upper(code[i]) && !digit(code[i])) return false;
        return code[12] == '\0';
    };
    for (const auto& c : cases) {
        DimensionModel model;
        model.build(c.n);
        EXPECT_EQ(levelSizes(model.channels()), (std::vector<int64_t>{c.n - 1, 1}));
        EXPECT_EQ(levelSizes(model.customers()), c.customers);
        EXPECT_EQ(levelSizes(model.products()), c.products);
        EXPECT_EQ(levelSizes(model.times()), (std::vector<int64_t>{24, 8, 2}));
        checkShape(model.channels(), false, false);
        checkShape(model.customers(), true, false);
        checkShape(model.products(), true, true);
        checkShape(model.times(), false, false);
        for (const DimensionTable* t : {&model.channels(), &model.customers(), &model.products()})
            for (const Member& m : t->members) ASSERT_TRUE(codeForm(m.code)) << m.code;
    }
    // 478000 products: S × 9000 exceeds 32 bits.
    DimensionModel large;
    large.build(478);
    EXPECT_EQ(levelSizes(large.products()), (std::vector<int64_t>{430200, 28919, 14340, 3585, 717, 238, 1}));
}

TEST(DimensionModel, AccessorsNameMembersAndRejectBadArguments) {
    DimensionModel model;
    model.build(10);
    for (int32_t j = 0; j < 32; ++j) EXPECT_EQ(model.time(j).parent->index, j < 24 ? 24 + j / 3 : 32 + (j - 24) / 4);
    EXPECT_STREQ(model.time(0).code, "199501");
    EXPECT_STREQ(model.time(23).parent->code, "1996Q4");
    EXPECT_STREQ(model.time(31).parent->code, "1996");
    EXPECT_EQ(model.channel(0).parent, &model.channel(9));
    EXPECT_STREQ(model.levelName(0, 9), "Top");
    EXPECT_STREQ(model.levelName(3, 24), "Quarter");
    EXPECT_STREQ(model.levelName(3, 33), "Year");
    EXPECT_STREQ(model.measureName(9), "Inventory");
    EXPECT_STREQ(model.scenarioName(4), "Base");
    EXPECT_EQ(thrownText([&] { model.channel(10); }), "Chan out of bounds");
    EXPECT_EQ(thrownText([&] { model.customer(-1); }), "cust out of bounds");
    EXPECT_EQ(thrownText([&] { model.product(10000); }), "Prod out of bounds");
    EXPECT_EQ(thrownText([&] { model.time(34); }), "Time out of bounds");
    // The dimension is checked before the position.
    EXPECT_EQ(thrownText([&] { model.levelName(-1, -1); }), "Bad dimension reference obtaining level name");
    EXPECT_EQ(thrownText([&] { model.levelName(3, 34); }), "Bad member reference obtaining level name");
    EXPECT_EQ(thrownText([&] { model.measureName(10); }), "Bad measure reference obtaining measure name");
    EXPECT_EQ(thrownText([&] { model.scenarioName(5); }), "error in scenario name accessor!");
}

TEST(DimensionModel, CodeCharactersComeFromTheUpperTwelveBitsOfEachDraw) {
    // First character: 400 -> 'Z', 416 -> 'A'; later characters: 160 -> 'A', 575 -> 'Z', 15 -> '0'.
    const std::tuple<int, int32_t, char> cases[] = {
        {0, 400, 'Z'}, {0, 416, 'A'}, {1, 160, 'A'}, {6, 575, 'Z'}, {11, 15, '0'}};
    for (const auto& [position, draw, expected] : cases) {
        seedRandom(seedGivingDraw(position, draw));
        DimensionTable table;
        table.members.resize(1);
        generateCodes(table);
        EXPECT_EQ(table.members[0].code[position], expected) << draw;
    }
}

TEST(DimensionModel, DistributesTheRemainderByBitEightOfEachDraw) {
    // A seed whose first draws have bit 8 set, clear, set (as 256, 0, 256 would).
    int32_t seed = 0;
    for (bool found = false; !found;) {
        RandomGenerator g(++seed);
        const int32_t a = g.nextInt(), b = g.nextInt(), c = g.nextInt();
        found = (a & 0x100) && !(b & 0x100) && (c & 0x100);
    }
    DimensionTable table;
    table.members.resize(11);  // children 0..7, parents 8..10
    seedRandom(seed);
    distributeChildren(table, 8, 3, 0, 2, 2, 3);
    const int expectedCount[] = {0, 0, 0, 0, 0, 0, 0, 0, 3, 2, 3}, expectedParent[] = {8, 8, 8, 9, 9, 10, 10, 10};
    for (int i = 0; i < 11; ++i) EXPECT_EQ(table.members[i].childCount, expectedCount[i]) << i;
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(table.members[i].parent == &table.members[expectedParent[i]]) << i;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(table.members[i].level, 3) << i;
    // Exactly three draws; a remainder of 0 draws nothing.
    distributeChildren(table, 8, 3, 0, 2, 0, 0);
    RandomGenerator twin(seed);
    for (int i = 0; i < 3; ++i) twin.nextInt();
    EXPECT_EQ(randomInt(), twin.nextInt());
}
