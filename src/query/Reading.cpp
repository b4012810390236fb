#include "query/Reading.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "dataset/TableLines.h"

namespace qemquery {

// The names as the query files write them (the line parser checks them).
static_assert(std::size(qemdata::table_lines::scenarioNames) == 4);
static_assert(std::size(qemdata::table_lines::measureNames) == 10);

const char* scenarioName(Scenario s) { return qemdata::table_lines::scenarioNames[static_cast<int>(s)]; }

const char* measureName(Measure m) { return qemdata::table_lines::measureNames[static_cast<int>(m)]; }

Months heldMonths(Scenario s) {
    if (s == Scenario::actual) return {0, 17};
    if (s == Scenario::budget) return {12, 23};
    return {0, -1};
}

int measureDecimals(Measure m) {
    switch (m) {
        case Measure::units:
        case Measure::inventory: return 0;
        case Measure::dollarSales: return 2;
        case Measure::dollarCost:
        case Measure::margin: return 3;
        default: return 6;
    }
}

const std::vector<Column>& answerColumns(int kind, Measure measure) {
    static const std::vector<Column> withChannel{{"units", Quantity::units, 0}, {"dollar_sales", Quantity::dollarSales, 2}};
    static const std::vector<Column> actual{
        {"units", Quantity::units, 0}, {"dollar_sales", Quantity::dollarSales, 2}, {"inventory", Quantity::inventory, 0}};
    static const std::vector<Column> budget{{"budget_units", Quantity::budgetUnits, 0},
                                            {"budget_dollar_sales", Quantity::budgetDollarSales, 2},
                                            {"units", Quantity::units, 0},
                                            {"dollar_sales", Quantity::dollarSales, 2}};
    static const std::vector<std::vector<Column>> measures = [] {
        std::vector<std::vector<Column>> v;
        for (size_t m = 0; m < std::size(qemdata::table_lines::measureNames); ++m)
            v.push_back({{"value", Quantity::measure, measureDecimals(static_cast<Measure>(m))}});
        return v;
    }();
    if (kind == 1) return withChannel;
    if (kind == 7) return budget;
    if (kind == 10) return measures[static_cast<size_t>(measure)];
    return actual;
}

std::string noDataReason(Scenario s, Measure m) {
    if (s == Scenario::forecast) return "the data set holds no forecast";
    if (s == Scenario::scenario)
        return "Scenario is the top of the scenario dimension; the data set keeps no total across Actual and Budget";
    if (s == Scenario::budget && m == Measure::inventory) return "the data set holds no budgeted inventory";
    return "";
}

Months cellMonths(const Query& q, Scenario s) { return q.time.within(heldMonths(s)); }

std::optional<int32_t> closingMonth(const Query& q) {
    const Months m = cellMonths(q, Scenario::actual);
    if (m.empty()) return std::nullopt;
    return m.last;
}

Months smoothingWindow(const Query& q, Scenario s) {
    const Months cell = cellMonths(q, s);
    if (cell.empty()) return cell;
    return Months{cell.last - 2, cell.last}.within(heldMonths(s));
}

int32_t monthOf(std::string_view code) {
    if (code.size() != 6 || code.find_first_not_of("0123456789") != std::string_view::npos) return -1;
    const int year = (code[0] - '0') * 1000 + (code[1] - '0') * 100 + (code[2] - '0') * 10 + (code[3] - '0');
    const int month = (code[4] - '0') * 10 + (code[5] - '0');
    if (year < 1995 || year > 1996 || month < 1 || month > 12) return -1;
    return (year - 1995) * 12 + month - 1;
}

}  // namespace qemquery
