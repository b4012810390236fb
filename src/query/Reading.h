#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qemquery {

// What a query asks: reading 1 of the query files (docs/queries.md). The
// query files name members but no computation; this is the one reading that
// the SQL, the answers computed from the files and the checks of a run all
// follow. A later reading gets a new number rather than change this one.
inline constexpr int readingVersion = 1;

// The dimensions as the reader numbers them (qemdata::DimensionNumber).
enum Dim { productDim, customerDim, channelDim, timeDim };

enum class Scenario { actual, budget, forecast, scenario };
enum class Measure {
    dollarSales, dollarCost, units, margin, marginPct, avgSellingPrice, stdProdCost, stdShipCost, smoothedSales,
    inventory
};
const char* scenarioName(Scenario s);
const char* measureName(Measure m);

// A month of the data set, 0 ("199501") to 23 ("199612"), and a run of them.
struct Months {
    int32_t first = 0, last = 23;
    bool empty() const { return first > last; }
    int32_t count() const { return empty() ? 0 : last - first + 1; }
    bool holds(int32_t m) const { return m >= first && m <= last; }
    Months within(Months o) const { return {std::max(first, o.first), std::min(last, o.last)}; }
};
// The months each scenario holds data for: Actual 199501 to 199606, Budget
// the twelve months of 1996, the others none.
Months heldMonths(Scenario s);

// A member a query names: its position in its dimension (as the reader
// numbers them) and its level (0: a leaf); or none: the whole dimension.
struct Named {
    int32_t position = -1;
    int32_t level = 0;
    bool named() const { return position >= 0; }
};

// One query of a user's file.
struct Query {
    int32_t user = 0;
    int64_t position = 0;  // its line in the file, from 1
    int kind = 0;
    Named member[4];       // by Dim
    Months time;           // the months of the time member (every month when none)
    Scenario scenario = Scenario::actual;  // kind 10's; kinds 1 to 9 ask Actual (kind 7 Budget too)
    Measure measure = Measure::dollarSales;  // kind 10's
};

// What one column of an answer is, and how it is printed.
enum class Quantity {
    units, dollarSales, inventory,        // Actual, kinds 1 to 9
    budgetUnits, budgetDollarSales,       // kind 7
    measure,                              // kind 10: its measure in its scenario
};
struct Column {
    const char* name;
    Quantity quantity;
    int decimals;
};
// The answer's columns of a query of this kind (and, kind 10, measure), in order.
const std::vector<Column>& answerColumns(int kind, Measure measure);
inline const std::vector<Column>& answerColumns(const Query& q) { return answerColumns(q.kind, q.measure); }
// The decimals of a measure's answer.
int measureDecimals(Measure m);

// Why kind 10's scenario and measure have no data at all, or "" when they
// may: Forecast and Scenario hold none, the Budget no inventory.
std::string noDataReason(Scenario s, Measure m);

// The months of the cell whose rows a quantity sums: the time member's
// months that the scenario holds (empty when it holds none of them).
Months cellMonths(const Query& q, Scenario s);
// The month of a closing stock: the last of the cell's months that the
// Actual inventory holds; nothing when there is none.
std::optional<int32_t> closingMonth(const Query& q);
// The three months that end with the cell's last month, those the scenario
// holds (SmoothedSales); empty when the cell has none.
Months smoothingWindow(const Query& q, Scenario s);

// The month number of a month code "199501" .. "199612"; -1 for any other text.
int32_t monthOf(std::string_view code);

}  // namespace qemquery
