#pragma once
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "sizes/DataSetShape.h"

class RandomGenerator;

// Dimension numbers, as levelName() takes them.
enum DimensionNumber : int32_t { channelDimension = 0, customerDimension = 1, productDimension = 2, timeDimension = 3 };

// Scenario numbers of the fact and cost files.
constexpr int32_t actualScenario = 0;
constexpr int32_t budgetScenario = 1;

// Time: the 24 months 1995-01 .. 1996-12 are the leaves (positions 0 .. 23),
// then 8 quarters and 2 years.
constexpr int32_t monthCount = 24;
constexpr int32_t firstQuarter = 24;
constexpr int32_t firstYear = 32;
// The historical fact files hold months 0 .. 16, the current ones month 17;
// the Actual months of the cost files and the queries are 0 .. 17.
constexpr int32_t historicalMonthCount = 17;
constexpr int32_t currentMonth = 17;
constexpr int32_t lastActualMonth = currentMonth;
// The Budget months: 12 .. 23, the months of 1996.
constexpr int32_t firstBudgetMonth = 12;
constexpr int32_t lastBudgetMonth = 23;
constexpr int32_t budgetMonthCount = lastBudgetMonth - firstBudgetMonth + 1;
// The file sizes count with the same months.
static_assert(qem::DataSetShape::historicalMonths == historicalMonthCount &&
              qem::DataSetShape::budgetMonths == budgetMonthCount &&
              qem::DataSetShape::costMonths == lastActualMonth + 1 + budgetMonthCount);

// Fact data lies in the lower 72 % of the customer and of the product leaves
// (the data region); the product marks cover the upper 28 %.
constexpr int64_t dataRegionPercent = qem::DataSetShape::dataRegionPercent;

// One member of a dimension: its code, parent link (into the same table),
// number of children, own position, product mark and level.
struct Member {
    char code[13] = {};
    const Member* parent = nullptr;
    int32_t childCount = 0;
    int32_t index = 0;
    int8_t mark = 0;
    int8_t level = 0;
};

// The members of one dimension, leaves first (positions 0 .. leafCount - 1),
// then level by level up to the top. Sized once by the build.
struct DimensionTable {
    std::vector<Member> members;
    int32_t leafCount = 0;
    // The same codes packed one after another, 12 characters each without a
    // terminator, in position order (tables of drawn codes only: Channel,
    // Customer, Product). A fact file line copies several codes picked at
    // random; packed, a table takes less than a third of the cache.
    std::vector<char> packedCodes;

    int32_t memberCount() const { return static_cast<int32_t>(members.size()); }
};

// The four stored dimensions (0 Channel, 1 Customer, 2 Product, 3 Time), built
// once per run from the channel count and the global random stream; read-only
// afterwards, also from worker threads. The value formulas of the fact and
// cost files are operations of the model because they read its leaf counts.
class DimensionModel {
public:
    DimensionModel();
    ~DimensionModel();

    // Fills the four tables for channelCount channels (at least 10).
    void build(int32_t channelCount);

    const DimensionTable& channels() const { return *channelTable; }
    const DimensionTable& customers() const { return *customerTable; }
    const DimensionTable& products() const { return *productTable; }
    const DimensionTable& times() const { return *timeTable; }

    // The member at position i; a position outside the table throws "Chan out
    // of bounds", "cust out of bounds", "Prod out of bounds" or "Time out of
    // bounds". Inline: the fact writers look up several members per line.
    const Member& channel(int32_t i) const { return memberAt(channelTable.get(), i, "Chan out of bounds"); }
    const Member& customer(int32_t i) const { return memberAt(customerTable.get(), i, "cust out of bounds"); }
    const Member& product(int32_t i) const { return memberAt(productTable.get(), i, "Prod out of bounds"); }
    const Member& time(int32_t i) const { return memberAt(timeTable.get(), i, "Time out of bounds"); }
    // The 12 characters of member i's code, from the packed copy (not
    // terminated); the same exceptions as the member accessors.
    const char* channelCode(int32_t i) const { return packedCode(channelTable.get(), i, "Chan out of bounds"); }
    const char* customerCode(int32_t i) const { return packedCode(customerTable.get(), i, "cust out of bounds"); }
    const char* productCode(int32_t i) const { return packedCode(productTable.get(), i, "Prod out of bounds"); }

    const char* levelName(int32_t dimension, int32_t i) const;
    const char* measureName(int32_t m) const;
    const char* scenarioName(int32_t s) const;

    // Value formulas (units and dollarSales inline, below: they are computed
    // for every line of the sales and budget files).
    int32_t units(int32_t scenario, int32_t channel, int32_t product, int32_t customer, int32_t month) const;
    double dollarSales(int32_t scenario, int32_t channel, int32_t product, int32_t customer, int32_t month) const;
    // The sales amount is always a whole number of dollars: dollarSales() is
    // exactly this number as a double.
    int64_t wholeDollarSales(int32_t scenario, int32_t channel, int32_t product, int32_t customer,
                             int32_t month) const;
    double stdShipCost(int32_t scenario, int32_t customer, int32_t month) const;
    double stdProdCost(int32_t scenario, int32_t product, int32_t month) const;
    int32_t inventory(int32_t product, int32_t customer, int32_t month, RandomGenerator& generator) const;

    // The three factors of inventory, which depend on the customer, the
    // product and the month alone, and the value they give with a random
    // term r; a writer that needs many months of one cell computes each
    // factor once. inventory() is exactly inventoryValue() of these.
    double inventoryCustomerTerm(int32_t customer) const;
    double inventoryProductTerm(int32_t product) const;
    double inventoryMonthTerm(int32_t month) const;
    static int32_t inventoryValue(double customerTerm, double productTerm, double monthTerm, double r);

private:
    static const Member& memberAt(const DimensionTable* table, int32_t i, const char* error) {
        if (!table || i < 0 || i >= table->memberCount()) [[unlikely]]
            throw error;
        return table->members[static_cast<size_t>(i)];
    }
    static const char* packedCode(const DimensionTable* table, int32_t i, const char* error) {
        if (!table || i < 0 || static_cast<size_t>(i) >= table->packedCodes.size() / 12) [[unlikely]]
            throw error;
        return table->packedCodes.data() + 12 * static_cast<size_t>(i);
    }

    void buildChannels(int32_t channelCount);
    void buildCustomers(int32_t channelCount);
    void buildProducts(int32_t channelCount);
    void buildTimes();

    std::unique_ptr<DimensionTable> channelTable;
    std::unique_ptr<DimensionTable> customerTable;
    std::unique_ptr<DimensionTable> productTable;
    std::unique_ptr<DimensionTable> timeTable;
};

inline int32_t DimensionModel::units(int32_t s, int32_t ch, int32_t p, int32_t c, int32_t m) const {
    // The products may wrap around: only their low bits matter.
    const uint32_t uc = static_cast<uint32_t>(c), up = static_cast<uint32_t>(p);
    const uint32_t uch = static_cast<uint32_t>(ch), um = static_cast<uint32_t>(m);
    const int32_t base = static_cast<int32_t>(((uc * up) & 10u) + ((uch * um) & 3u));
    if (s == actualScenario) return base + 1;
    const int32_t g = static_cast<int32_t>(((uc * um * up) >> 3) & 3u);
    int32_t r = ((uc + up) & 1u) ? base + g : base - g;
    if (r <= 0) r = -r;
    return r + 1;
}

inline int64_t DimensionModel::wholeDollarSales(int32_t s, int32_t ch, int32_t p, int32_t c, int32_t m) const {
    const int64_t t = ((m ^ 4) + ((m + 2) ^ 5)) & 7;
    const int64_t priceCents = ((int64_t{p} + 20) * (t + 4 * int64_t{c} + 3 * (int64_t{ch} + 3))) % 5000;
    return int64_t{units(s, ch, p, c, m)} * priceCents / 100;
}

inline double DimensionModel::dollarSales(int32_t s, int32_t ch, int32_t p, int32_t c, int32_t m) const {
    return static_cast<double>(wholeDollarSales(s, ch, p, c, m));
}

inline int32_t DimensionModel::inventoryValue(double d, double e, double f, double r) {
    const double v = std::fabs(2.0 * d) + r * 5.0 * f * f * e;
    return static_cast<int32_t>(v + 1.0);
}

// Draws the 12-character codes of every member of a table, in position order
// (and packs them).
void generateCodes(DimensionTable& table);

// Shares the consecutive children [firstChild, firstChild + P*base + remainder)
// among the consecutive parents [firstParent, firstParent + P): every parent
// gets base children, the remainder goes out one at a time to parents whose
// draw has bit 8 set, walking the parents repeatedly from the first.
void distributeChildren(DimensionTable& table, int32_t firstParent, int32_t parentCount, int32_t firstChild,
                        int32_t base, int32_t remainder, int8_t childLevel);
