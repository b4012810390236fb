#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "context/Context.h"
#include "core/RandomGenerator.h"
#include "queries/QueryPickers.h"
#include "queries/QueryWriter.h"
#include "run/Phases.h"

using namespace qem;

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
            ASSERT_EQ(pat, context.densityPattern->channelPattern(ch));
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
    std::vector<int> months(19), channels(10), budgetMonths(24);
    for (int i = 0; i < 20000; ++i) {
        ++months[static_cast<size_t>(randomInRange(0, 17))];
        ++channels[static_cast<size_t>(randomChannelLeaf())];
        const int32_t budgetMonth = randomBudgetMonth();
        ASSERT_TRUE(budgetMonth >= 12 && budgetMonth <= 23) << budgetMonth;
        ++budgetMonths[static_cast<size_t>(budgetMonth)];
        const Member& period = model().time(pickHistoryPeriod());
        ASSERT_TRUE(period.level > 0 && std::string(period.code) <= "1996Q2") << period.code;
    }
    EXPECT_EQ(months[18], 0);
    EXPECT_EQ(channels[9], 0);  // 9 channel leaves
    EXPECT_EQ(std::count(months.begin(), months.end(), 0), 1);
    EXPECT_EQ(std::count(channels.begin(), channels.end(), 0), 1);
    EXPECT_EQ(std::count(budgetMonths.begin(), budgetMonths.end(), 0), 12);  // months 0 .. 11
    EXPECT_THROW(queryScenarioName(4), TextException);
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
        ASSERT_TRUE(line.size() + 1 == size_t{QueryWriter::lineLength} && isdigit(line[23])) << line;  // kind number right-justified
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

namespace {

// A query writer that keeps each record by its slot (its position in
// generation order, as long as the file fits one buffer).
class RecordingQueryWriter : public QueryWriter {
public:
    RecordingQueryWriter(OutputFile& file, int32_t capacity) : QueryWriter(file, capacity) {
        generated.resize(static_cast<size_t>(capacity));
    }
    std::vector<WriterRecord> generated;  // by slot
    std::vector<size_t> lineSlots;        // slot of each line, in file order

protected:
    char* writeRecord(const WriterRecord& r, char* text) override {
        const size_t index = static_cast<size_t>(slotIndex(r));
        generated[index] = r;
        lineSlots.push_back(index);
        return QueryWriter::writeRecord(r, text);
    }
};

// What a kind may write in each column: allowed product levels (none: the
// column is blank), customer kind, channel leaf or nothing, allowed Time
// positions; for kinds 1, 2, 5, 6 the first two of every 30 are empty cells.
enum class CustomerRule { none, store, retailer, either };
struct KindRule {
    int kind;
    std::set<int> productLevels;
    CustomerRule customer;
    bool channel;
    std::set<int32_t> times;
    bool emptyCells;
};

std::set<int32_t> positions(int32_t first, int32_t last) {
    std::set<int32_t> s;
    for (int32_t i = first; i <= last; ++i) s.insert(i);
    return s;
}

std::set<int32_t> joined(std::set<int32_t> a, const std::set<int32_t>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

// Months 0..17 are Time positions 0..17, their quarters 24..29 and years 32, 33;
// the budget months 12..23 have quarters 28..31 and the year 33.
const std::set<int32_t> actualMonths = positions(0, 17), actualQuarters = positions(24, 29);
const std::set<int32_t> budgetMonths = positions(12, 23), budgetQuarters = positions(28, 31);

const KindRule kindRules[] = {
    {1, {1, 2, 3, 4, 5, 6}, CustomerRule::retailer, true, joined(actualQuarters, {32, 33}), true},
    {2, {1}, CustomerRule::store, false, actualMonths, true},
    {3, {0}, CustomerRule::retailer, false, {}, false},
    {4, {1, 2, 3, 4, 5}, CustomerRule::store, false, actualQuarters, false},
    {5, {}, CustomerRule::either, false, {}, true},
    {6, {0, 1, 2, 3, 4, 5}, CustomerRule::none, false, {}, true},
    {7, {1, 2, 3, 4, 5}, CustomerRule::retailer, false, joined(joined(budgetMonths, budgetQuarters), {33}), false},
    {8, {0, 1, 2, 3, 4, 5}, CustomerRule::either, false, {}, false},
    {9, {0, 1, 2, 3, 4, 5}, CustomerRule::either, false, {}, false},
};

}  // namespace

// Four user files of 10 channels, every query checked in generation order
// against its kind: the level of each written member, the columns left blank,
// the data region of data cells, the empty cells at the 1st, 2nd, 31st, 32nd,
// ... query of kinds 1, 2, 5 and 6, and the kind-10 template cycle.
TEST_F(Queries, EveryKindWritesItsMembersAtTheirLevels) {
    const DimensionModel& m = model();
    std::map<std::string, const Member*> codes[4];  // channel, customer, product, time
    const DimensionTable* tables[] = {&m.channels(), &m.customers(), &m.products(), &m.times()};
    for (int d = 0; d < 4; ++d)
        for (const Member& member : tables[d]->members) codes[d][member.code] = &member;
    // Lowest leaf below each product and customer: a member covers data when it is below the data region's end.
    std::vector<int32_t> productFirstLeaf(static_cast<size_t>(m.products().memberCount()), INT32_MAX);
    std::vector<int32_t> customerFirstLeaf(static_cast<size_t>(m.customers().memberCount()), INT32_MAX);
    for (const auto& [table, first] : {std::pair{&m.products(), &productFirstLeaf}, {&m.customers(), &customerFirstLeaf}})
        for (int32_t leaf = 0; leaf < table->leafCount; ++leaf)
            for (const Member* a = &table->members[static_cast<size_t>(leaf)]; a; a = a->parent)
                (*first)[static_cast<size_t>(a->index)] = std::min((*first)[static_cast<size_t>(a->index)], leaf);
    auto field = [](const std::string& line, size_t i) {
        const std::string f = line.substr(24 * i, 24);
        const size_t end = f.find_last_not_of(' ');
        return end == std::string::npos ? std::string() : f.substr(0, end + 1);
    };
    auto member = [&](int d, const std::string& code) -> const Member& {
        const auto found = codes[d].find(code);
        if (found == codes[d].end()) throw std::runtime_error("unknown code '" + code + "'");
        return *found->second;
    };
    std::map<int, std::map<int, int>> productLevelsSeen;  // kind -> level -> count
    std::map<int, std::set<int>> timeLevelsSeen;

    std::map<int, int> emptySeen;  // kinds 5, 6: empty cells recognised from the record's product and customer
    qemtest::TempDir directory;
    for (int user = 0; user < 4; ++user) {
        seedRandom(seed + user);
        OutputFile file("recorded.qem");
        RecordingQueryWriter writer(file, 8333);
        writer.run();
        file.close();
        std::vector<std::string> lines(writer.generated.size());
        std::ifstream in("recorded.qem");
        for (size_t slot : writer.lineSlots) std::getline(in, lines[slot]), lines[slot] += '\n';
        ASSERT_EQ(writer.lineSlots.size(), 2500u);

        std::map<int, int> seenOfKind;
        int previousTemplate = -1;
        for (size_t q = 0; q < 2500; ++q) {
            SCOPED_TRACE(testing::Message() << "user " << user << ", query " << q << ": " << lines[q]);
            const std::string& line = lines[q];
            ASSERT_EQ(line.size(), 169u);
            const int kind = std::stoi(line.substr(0, 24));
            ASSERT_EQ(kind, querySchedule[q % 100]);
            const int ordinal = seenOfKind[kind]++;  // 0-based position among the queries of its kind
            const WriterRecord& record = writer.generated[q];
            if (kind == 10) {
                int t = 0;
                while (t < 26 && !(queryScenarioName(queryTemplates[static_cast<size_t>(t)].scenario) == field(line, 5) &&
                                   m.measureName(queryTemplates[static_cast<size_t>(t)].measure) == field(line, 6)))
                    ++t;
                ASSERT_LT(t, 26);
                if (previousTemplate >= 0) {
                    ASSERT_EQ(t, (previousTemplate + 1) % 26) << "template cycle";
                }
                previousTemplate = t;
                const QueryTemplate tpl = queryTemplates[static_cast<size_t>(t)];
                const bool costMeasure = tpl.measure == 6 || tpl.measure == 7, fixedMonth = costMeasure || tpl.measure == 8;
                // Channel: written for Actual, except with the two cost measures.
                if (tpl.scenario == 0 && !costMeasure)
                    ASSERT_LT(member(0, field(line, 3)).index, m.channels().leafCount);
                else
                    ASSERT_EQ(field(line, 3), "Channel");
                const Member& time = member(3, field(line, 4));
                const Member* month = &time;
                ASSERT_TRUE(!fixedMonth || time.level == 0);
                if (time.level > 0) {  // a quarter or year: its first month stands for it
                    month = &m.time(time.level == 1 ? (time.index - 24) * 3 : (time.index - 32) * 12);
                    ASSERT_TRUE(tpl.scenario == 0 || tpl.scenario == 3 || month->index >= 12);
                }
                if (tpl.scenario == 1 || tpl.scenario == 2)
                    ASSERT_TRUE(time.level == 2 ? time.index == 33 : month->index >= 12 && month->index <= 23);
                else
                    ASSERT_TRUE(time.level == 2 || month->index <= 17);
                if (tpl.measure == 7) {
                    ASSERT_EQ(field(line, 1), "Product");
                } else {
                    const Member& p = member(2, field(line, 1));
                    ASSERT_TRUE(tpl.measure == 6 ? p.level == 0 : p.level <= 5);
                    ASSERT_LT(productFirstLeaf[static_cast<size_t>(p.index)], 6500);
                }
                if (tpl.measure == 6) {
                    ASSERT_EQ(field(line, 2), "Customer");
                } else {
                    const Member& c = member(1, field(line, 2));
                    ASSERT_TRUE(tpl.measure == 7 ? c.childCount == 0 : c.level <= 1);
                    ASSERT_LT(customerFirstLeaf[static_cast<size_t>(c.index)], 650);
                }
                continue;
            }
            const KindRule& rule = kindRules[kind - 1];
            const bool empty = rule.emptyCells && ordinal % 30 < 2;
            size_t column = 1;
            const Member* product = nullptr;
            const Member* customer = nullptr;
            if (kind != 5) {
                product = &member(2, field(line, column++));
                ASSERT_TRUE(rule.productLevels.count(product->level));
                ++productLevelsSeen[kind][product->level];
            }
            if (rule.customer != CustomerRule::none) {
                customer = &member(1, field(line, column++));
                const bool store = customer->childCount == 0;
                ASSERT_EQ(customer->level, store ? 0 : 1);
                if (rule.customer == CustomerRule::store) {
                    ASSERT_TRUE(store);
                }
                if (rule.customer == CustomerRule::retailer) {
                    ASSERT_FALSE(store);
                }
            }
            if (rule.channel) {
                ASSERT_LT(member(0, field(line, column++)).index, m.channels().leafCount);
            }
            if (!rule.times.empty()) {
                const Member& time = member(3, field(line, column++));
                ASSERT_TRUE(rule.times.count(time.index)) << time.code;
                timeLevelsSeen[kind].insert(time.level);
            }
            for (; column < 7; ++column) ASSERT_EQ(field(line, column), "") << "column " << column;
            // Data cells lie in the data region; an empty cell of kind 2 has its store above it.
            const bool dataRegion = (!product || productFirstLeaf[static_cast<size_t>(product->index)] < 6500) &&
                                    (!customer || customerFirstLeaf[static_cast<size_t>(customer->index)] < 650);
            if (!empty) {
                ASSERT_TRUE(dataRegion) << "a data cell outside the data region";
            }
            if (kind == 2) {
                ASSERT_EQ(customer->index >= firstEmptyCustomer, empty);
            }
            // Kinds 5 and 6 keep the picked product and customer in the record (one of them unwritten):
            // a data cell's lie in the data region, and outside it only an empty cell's.
            if (kind == 5 || kind == 6) {
                const bool inRegion = productFirstLeaf[static_cast<size_t>(record.productIndex)] < 6500 &&
                                      customerFirstLeaf[static_cast<size_t>(record.customerIndex)] < 650;
                ASSERT_TRUE(empty || inRegion);
                emptySeen[kind] += !inRegion;
            }
        }
    }
    // 10 empty cells per file of kinds 5 and 6 (125 queries each); nearly all lie visibly outside the region.
    EXPECT_GE(emptySeen[5], 32);
    EXPECT_GE(emptySeen[6], 32);
    // Every level that a kind's rule allows turns up (the conditional steps are taken).
    EXPECT_EQ(timeLevelsSeen[1], (std::set<int>{1, 2}));
    EXPECT_EQ(timeLevelsSeen[7], (std::set<int>{0, 1, 2}));
    for (int kind : {4, 7, 8}) EXPECT_EQ(productLevelsSeen[kind].size(), kind == 8 ? 6u : 5u) << kind;
    // Kind 6 keeps the code for u <= 0.6, kind 8 for u <= 0.75: about 60% and 75% of data queries.
    EXPECT_NEAR(productLevelsSeen[6][0] / 500.0, 0.6, 0.1);
    EXPECT_NEAR(productLevelsSeen[8][0] / 2000.0, 0.75, 0.05);
}
