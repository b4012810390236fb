#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/RandomGenerator.h"
#include "queries/QueryPickers.h"
#include "queries/QueryWriter.h"
#include "run/Context.h"
#include "run/Phases.h"

namespace {

// With 10 channels: 900 customer and 9000 product leaves; the data region ends at 648 and 6480, so its last
// blocks reach 649 and 6499, and the empty blocks above start at 650 and 6500.
constexpr int32_t firstEmptyCustomer = 650, firstEmptyProduct = 6500, customerLeaves = 900, productLeaves = 9000;
constexpr int32_t seed = 4711;

class Queries : public ::testing::Test {
protected:
    void SetUp() override {
        context.state = GeneratorState{10, 10, 2, 1, seed, 3};
        initContext();
    }
    static const DimensionModel& model() { return *context.dimensionModel; }

    // Reseeds the global stream, runs pick and returns how many values it drew.
    template <typename Pick>
    static int drawsOf(int32_t s, Pick pick) {
        seedRandom(s);
        pick();
        const double next = randomDouble();
        RandomGenerator reference(s);
        for (int n = 0; n < 20; ++n)
            if (reference.nextDouble() == next) return n;
        return -1;
    }
};

// Level reached from a member of the given level: one step up, one more for each threshold that u exceeds,
// never above Division (5).
int expectedRaisedLevel(int level, double u) {
    int steps = 1;
    for (double threshold : {0.5, 0.65, 0.8, 0.9}) steps += u > threshold;
    return std::min(level + steps, 5);
}

}  // namespace

TEST_F(Queries, DataCellIsACellOfTheChannelsSalesWalk) {
    int32_t highestCustomerBlock = 0, highestProductBlock = 0;
    for (int32_t ch = 0; ch < 9; ++ch) {
        for (int i = 0; i < 300; ++i) {
            int32_t p = -1, c = -1;
            const CellPattern* pat = nullptr;
            ASSERT_EQ(drawsOf(seed + 1000 * ch + i, [&] { pickDataCell(ch, p, c, &pat); }), 5);
            const int32_t c0 = c - c % 10, p0 = p - p % 100;
            ASSERT_TRUE(c0 >= 0 && c0 < 648 && p0 >= 0 && p0 < 6480) << c << " " << p;
            ASSERT_EQ(pat, context.densityPattern->pattern(false, ch, c0, p0));
            bool walked = false;
            for (int32_t k = 0; k < 2; ++k) {
                const PatternCell cell = pat->shiftedCell(k, c0, p0);
                walked |= cell.customerOffset == c - c0 && cell.productOffset == p - p0;
            }
            ASSERT_TRUE(walked) << "channel " << ch << " customer " << c << " product " << p;
            highestCustomerBlock = std::max(highestCustomerBlock, c0);
            highestProductBlock = std::max(highestProductBlock, p0);
        }
    }
    // The whole data region is reachable.
    EXPECT_EQ(highestCustomerBlock, 640);
    EXPECT_EQ(highestProductBlock, 6400);
}

TEST_F(Queries, RaiseProductLevelDrawsOnceAndStopsAtDivision) {
    const DimensionTable& products = model().products();
    for (int32_t pos = 0; pos < products.memberCount(); ++pos) {
        const Member& m = products.members[static_cast<size_t>(pos)];
        if (m.level == 6) continue;
        const double u = RandomGenerator(seed + pos).nextDouble();
        const Member* raised = nullptr;
        ASSERT_EQ(drawsOf(seed + pos, [&] { raised = &raiseProductLevel(pos); }), 1);
        ASSERT_EQ(raised->level, expectedRaisedLevel(m.level, u)) << pos;
        const Member* a = &m;
        while (a && a != raised) a = a->parent;
        ASSERT_EQ(a, raised) << "not an ancestor of " << pos;
    }
}

TEST_F(Queries, EmptyCellLiesAboveTheDataRegion) {
    const int32_t sp = model().products().memberCount(), sc = model().customers().memberCount();
    for (int flags = 0; flags < 4; ++flags) {
        const bool emptyProduct = flags & 1, emptyCustomer = flags & 2;
        for (int32_t s = 1; s <= 200; ++s) {
            // Both flags false: case 1 (empty customer block) when bit 4 of the first draw is set, else case 2.
            const bool bit = RandomGenerator(s).nextInt() & 16;
            const bool customerBlock = emptyCustomer || (!emptyProduct && bit);
            const bool productBlock = emptyProduct || (!emptyCustomer && !bit);
            int32_t p = -1, c = -1;
            EXPECT_EQ(drawsOf(s, [&] { pickEmptyCell(p, c, emptyProduct, emptyCustomer); }),
                      customerBlock && productBlock ? 5 : 4);
            ASSERT_TRUE(customerBlock ? c >= firstEmptyCustomer && c < customerLeaves : c >= 0 && c < sc - 1) << s;
            ASSERT_TRUE(productBlock ? p >= firstEmptyProduct && p < productLeaves : p >= 0 && p < sp - 1) << s;
        }
    }
}

TEST_F(Queries, SmallPickersStayInRange) {
    std::vector<int> months(19), channels(10);
    for (int i = 0; i < 20000; ++i) {
        ++months[static_cast<size_t>(randomInRange(0, 17))];
        ++channels[static_cast<size_t>(randomChannelLeaf())];
        ASSERT_EQ((randomBudgetMonth() - 12) / 12, 0);
        const Member& period = model().time(pickHistoryPeriod());
        ASSERT_TRUE(period.level > 0 && std::string(period.code) <= "1996Q2") << period.code;
    }
    EXPECT_EQ(months[18], 0);
    EXPECT_EQ(channels[9], 0);  // 9 channel leaves
    EXPECT_EQ(std::count(months.begin(), months.end(), 0), 1);
    EXPECT_EQ(std::count(channels.begin(), channels.end(), 0), 1);
    EXPECT_THROW(queryScenarioName(4), const char*);
}

TEST_F(Queries, FileHoldsTheScheduledMixOfKinds) {
    char dirPattern[] = "/tmp/qemqueryXXXXXX";
    ASSERT_NE(mkdtemp(dirPattern), nullptr);
    const auto home = std::filesystem::current_path();
    std::filesystem::current_path(dirPattern);
    writeFile<QueryWriter>("qry001.qem", 8333);
    std::ifstream in("qry001.qem");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::filesystem::current_path(home);
    std::filesystem::remove_all(dirPattern);

    std::map<std::string, const Member*> codes;
    const DimensionTable* tables[] = {&model().channels(), &model().customers(), &model().products(), &model().times()};
    for (const DimensionTable* t : tables)
        for (const Member& m : t->members) codes[m.code] = &m;
    auto field = [](const std::string& line, size_t i) {
        const std::string f = line.substr(24 * i, 24);
        return i == 0 ? f.substr(f.find_first_not_of(' ')) : f.substr(0, f.find_last_not_of(' ') + 1);
    };
    // Kind-10 templates (scenario, measure) in table order, and the names the file shows for them.
    const int templates[26][2] = {{0, 0}, {3, 9}, {0, 6}, {0, 5}, {2, 4}, {1, 0}, {1, 8}, {2, 0}, {0, 2},
                                  {1, 7}, {1, 2}, {0, 1}, {2, 5}, {1, 1}, {1, 4}, {2, 1}, {0, 8}, {0, 3},
                                  {2, 2}, {1, 3}, {2, 3}, {0, 4}, {1, 5}, {1, 6}, {2, 8}, {0, 7}};
    const std::string scenarios[] = {"Actual", "Budget", "Forecast", "Scenario"};
    const std::string measures[] = {"DollarSales", "DollarCost",  "Units",       "Margin",        "MarginPct",
                                    "AvgSellingPrice", "StdProdCost", "StdShipCost", "SmoothedSales", "Inventory"};

    ASSERT_EQ(lines.size(), 2500u);
    std::map<int, int> kinds;
    int templateUses[26] = {}, emptyKind2 = 0;
    for (const std::string& line : lines) {
        ASSERT_TRUE(line.size() == 168 && isdigit(line[23])) << line;  // kind number right-justified
        const int kind = std::stoi(field(line, 0));
        ++kinds[kind];
        if (kind == 2) {  // product class, store, month
            ASSERT_EQ(codes.at(field(line, 1))->level, 1);
            const Member* store = codes.at(field(line, 2));
            ASSERT_EQ(store->childCount, 0);
            emptyKind2 += store->index >= firstEmptyCustomer;
            ASSERT_LE(codes.at(field(line, 3))->index, 17);
        } else if (kind == 10) {
            int index = 0;
            while (index < 26 && (scenarios[templates[index][0]] != field(line, 5) ||
                                  measures[templates[index][1]] != field(line, 6)))
                ++index;
            ASSERT_LT(index, 26) << line;
            ++templateUses[index];
            if (index == 9) {  // Budget, StdShipCost
                EXPECT_EQ(field(line, 1), "Product");
                EXPECT_EQ(codes.at(field(line, 2))->childCount, 0);
                EXPECT_EQ(field(line, 3), "Channel");
                EXPECT_EQ(codes.at(field(line, 4))->level, 0);  // a month ...
                EXPECT_EQ(field(line, 4).rfind("1996", 0), 0u);   // ... of 1996
            } else if (index == 0) {  // Actual, DollarSales
                EXPECT_LT(codes.at(field(line, 3))->index, model().channels().leafCount);
            }
        }
    }
    EXPECT_EQ(kinds, (std::map<int, int>{{1, 250}, {2, 250}, {3, 375}, {4, 75}, {5, 125}, {6, 125}, {7, 375},
                                         {8, 500}, {9, 375}, {10, 50}}));
    // The 1st, 2nd, 31st, 32nd, ... 242nd kind-2 queries ask about empty cells; all others about data cells.
    EXPECT_EQ(emptyKind2, 18);
    // 50 templates taken in cycle from a random start: all twice but two neighbours in the table.
    std::vector<int> once;
    for (int i = 0; i < 26; ++i) {
        EXPECT_TRUE(templateUses[i] == 1 || templateUses[i] == 2) << i;
        if (templateUses[i] == 1) once.push_back(i);
    }
    ASSERT_EQ(once.size(), 2u);
    EXPECT_TRUE(once[1] - once[0] == 1 || (once[0] == 0 && once[1] == 25));
}
