#include "query/Sql.h"

#include <optional>
#include <vector>

#include "dataset/Tables.h"

namespace qemquery {

namespace {

std::string literal(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') quoted += '\'';
        quoted += c;
    }
    return quoted + "'";
}

std::string monthLiteral(int32_t month) { return literal(qemdata::monthCodes().at(static_cast<size_t>(month))); }

// The rows of one table that an answer is made of: the table (alias s),
// the joins and the conditions.
struct Branch {
    std::string from;
    std::vector<std::string> joins;
    std::vector<std::string> where;
};

// The rows of one or more tables of the same columns: several are read as
// their UNION ALL (alias r), each with its own joins and conditions, so
// that every database restricts each table by its own keys.
struct Rows {
    std::vector<Branch> branches;
    // Beside a table's own columns, what a branch computes: name and expression.
    std::vector<std::pair<std::string, std::string>> computed;
    std::vector<std::string> columns;  // the table's columns the answer reads
};

// A column of the rows as the answer's expressions name it.
std::string column(const Rows& rows, const std::string& name) {
    if (rows.branches.size() > 1) return "r." + name;
    for (const auto& [computedName, expression] : rows.computed)
        if (computedName == name) return expression;
    return "s." + name;
}

std::string conditions(const std::vector<std::string>& where) {
    std::string text;
    for (const std::string& c : where) text += (text.empty() ? "" : " AND ") + c;
    return text;
}

// "SELECT <list> FROM ... [WHERE ...]" over one branch, its lines after the
// first indented by `indent`.
std::string branchSelect(const std::string& list, const Branch& b, const std::string& indent) {
    std::string text = "SELECT " + list + "\n" + indent + "  FROM " + b.from;
    for (const std::string& j : b.joins) text += "\n" + indent + "  " + j;
    if (!b.where.empty()) text += "\n" + indent + " WHERE " + conditions(b.where);
    return text;
}

// "SELECT <expressions> FROM <rows>", its lines after the first indented by `indent`.
std::string select(const std::string& list, const Rows& rows, const std::string& indent) {
    if (rows.branches.size() == 1) return branchSelect(list, rows.branches.front(), indent);
    std::string branchList;
    for (const std::string& c : rows.columns) branchList += (branchList.empty() ? "s." : ", s.") + c;
    for (const auto& [name, expression] : rows.computed) branchList += (branchList.empty() ? "" : ", ") + expression + " AS " + name;
    const std::string inner = indent + "        ";
    std::string text = "SELECT " + list + "\n" + indent + "  FROM (";
    for (size_t i = 0; i < rows.branches.size(); ++i) {
        if (i > 0) text += "\n" + inner + "UNION ALL\n" + inner;
        text += branchSelect(branchList, rows.branches[i], inner);
    }
    return text + ") r";
}

class Writer {
public:
    Writer(const Query& q, const qemdata::Dimensions& dims, const SqlOptions& options) : q(q), dims(dims), options(options) {}

    std::string statement() {
        if (q.kind == 10) return measureStatement();
        const Rows sales = salesRows(Scenario::actual, false);
        const std::string actual = "sum(" + column(sales, "units") + ") AS units, sum(" + column(sales, "dollar_sales") +
                                   ") AS dollar_sales";
        if (q.kind == 1) return select(actual, sales, "") + ";";
        if (q.kind == 7) {
            const Rows budget = salesRows(Scenario::budget, false);
            const std::string planned = "sum(" + column(budget, "units") + ") AS budget_units, sum(" +
                                        column(budget, "dollar_sales") + ") AS budget_dollar_sales";
            return "SELECT b.budget_units, b.budget_dollar_sales, a.units, a.dollar_sales\n  FROM (" +
                   select(planned, budget, "        ") + ") b,\n       (" + select(actual, sales, "        ") + ") a;";
        }
        const Rows stock = inventoryRows();
        return "SELECT a.units, a.dollar_sales, k.inventory\n  FROM (" + select(actual, sales, "        ") +
               ") a,\n       (" + select("sum(" + column(stock, "inventory") + ") AS inventory", stock, "        ") +
               ") k;";
    }

private:
    std::string table(const std::string& name) const {
        if (options.dialect == Dialect::sqlite) return name;
        return "\"" + options.schema + "\"." + name;
    }

    // Restricts the rows to the leaves beneath the member the query names
    // in dimension d: the fact table's own column for a leaf, the level
    // column of the dimension's table above it; nothing when it names none
    // (readQueries leaves a dimension whose top a query names unnamed).
    void restrict(Branch& b, int d, const char* factColumn) const {
        const Named& n = q.member[d];
        if (!n.named()) return;
        const qemdata::Dimension& dim = dims[d];
        const std::string& code = dim.members.at(static_cast<size_t>(n.position)).code;
        if (n.level == 0) {
            b.where.push_back(std::string("s.") + factColumn + " = " + literal(code));
            return;
        }
        static const char* const aliases[] = {"p", "c", "ch", "t"};
        const std::string alias = aliases[d];
        b.joins.push_back("JOIN " + table(dim.layout.table) + " " + alias + " ON " + alias + ".leaf_code = s." +
                          factColumn);
        b.where.push_back(alias + ".\"" + dim.layout.levelColumn(static_cast<size_t>(n.level) - 1) +
                          "\" = " + literal(code));
    }

    // The months: those of the time member (none: every month), or a run
    // of months the reading derives from it (a closing month, a window).
    void restrictMonths(Branch& b, std::optional<Months> months) const {
        if (!months) {
            restrict(b, timeDim, "month");
        } else if (months->first == months->last) {
            b.where.push_back("s.month = " + monthLiteral(months->first));
        } else {
            b.where.push_back("s.month BETWEEN " + monthLiteral(months->first) + " AND " + monthLiteral(months->last));
        }
    }

    // The sales rows of a scenario in the cell (or, for SmoothedSales, in
    // its window), with each row's cost (units times its product's and its
    // customer's standard cost of its scenario and month) when asked for.
    Rows salesRows(Scenario s, bool cost, std::optional<Months> window = std::nullopt) const {
        const Months months = window ? *window : cellMonths(q, s);
        // Actual sales: histsale holds 199501 to 199605, currsale 199606.
        std::vector<const char*> tables;
        if (s == Scenario::budget) {
            tables = {"budget"};
        } else {
            if (!months.empty() && months.first <= 16) tables.push_back("histsale");
            if (months.holds(17)) tables.push_back("currsale");
            if (tables.empty()) tables = {"histsale"};  // no month held: the member's months find no rows
        }
        const std::string scenario = literal(scenarioName(s));
        Rows rows;
        rows.columns = {"units", "dollar_sales"};
        if (cost)
            rows.computed.emplace_back("cost", "s.units * (COALESCE(pc.prod_cost, 0) + COALESCE(cs.ship_cost, 0))");
        for (const char* t : tables) {
            Branch b;
            b.from = table(t) + " s";
            restrict(b, productDim, "product");
            restrict(b, customerDim, "customer");
            if (s == Scenario::budget) {
                // The budget has no channel: a cell of one channel holds none of its rows.
                if (q.member[channelDim].named() && q.member[channelDim].level == 0) b.where.push_back("1 = 0");
            } else {
                restrict(b, channelDim, "channel");
            }
            restrictMonths(b, window && !window->empty() ? window : std::nullopt);
            if (cost) {
                b.joins.push_back("LEFT JOIN " + table("prodcos") + " pc ON pc.product = s.product AND pc.scenario = " +
                                  scenario + " AND pc.month = s.month");
                b.joins.push_back("LEFT JOIN " + table("custship") + " cs ON cs.customer = s.customer AND cs.scenario = " +
                                  scenario + " AND cs.month = s.month");
            }
            rows.branches.push_back(std::move(b));
        }
        return rows;
    }

    // The inventory rows of the closing month (histinv holds 199501 to
    // 199605, currinv 199606), over the cell's customers and products.
    Rows inventoryRows() const {
        const std::optional<int32_t> closing = closingMonth(q);
        Branch b;
        b.from = table(closing && *closing == 17 ? "currinv" : "histinv") + " s";
        restrict(b, productDim, "product");
        restrict(b, customerDim, "customer");
        // No closing month: the member's months, which hold no inventory.
        restrictMonths(b, closing ? std::optional<Months>(Months{*closing, *closing}) : std::nullopt);
        Rows rows;
        rows.branches.push_back(std::move(b));
        rows.columns = {"inventory"};
        return rows;
    }

    // The standard cost rows of the cell: a product's (prodcos) or a customer's (custship).
    Rows costRows(bool product) const {
        Branch b;
        b.from = table(product ? "prodcos" : "custship") + " s";
        if (product)
            restrict(b, productDim, "product");
        else
            restrict(b, customerDim, "customer");
        restrictMonths(b, std::nullopt);
        b.where.push_back("s.scenario = " + literal(scenarioName(q.scenario)));
        Rows rows;
        rows.branches.push_back(std::move(b));
        rows.columns = {product ? "prod_cost" : "ship_cost"};
        return rows;
    }

    std::string measureStatement() const {
        if (!noDataReason(q.scenario, q.measure).empty()) return "SELECT NULL AS value;";
        const auto sum = [](const Rows& r, const char* c) { return "sum(" + column(r, c) + ")"; };
        const auto value = [](const std::string& expression, const Rows& r) {
            return select(expression + " AS value", r, "") + ";";
        };
        switch (q.measure) {
            case Measure::dollarSales: {
                const Rows r = salesRows(q.scenario, false);
                return value(sum(r, "dollar_sales"), r);
            }
            case Measure::units: {
                const Rows r = salesRows(q.scenario, false);
                return value(sum(r, "units"), r);
            }
            case Measure::dollarCost: {
                const Rows r = salesRows(q.scenario, true);
                return value(sum(r, "cost"), r);
            }
            case Measure::margin: {
                const Rows r = salesRows(q.scenario, true);
                return value(sum(r, "dollar_sales") + " - " + sum(r, "cost"), r);
            }
            case Measure::marginPct: {
                const Rows r = salesRows(q.scenario, true);
                return value("100.0 * (" + sum(r, "dollar_sales") + " - " + sum(r, "cost") + ") / NULLIF(" +
                                 sum(r, "dollar_sales") + ", 0)",
                             r);
            }
            case Measure::avgSellingPrice: {
                const Rows r = salesRows(q.scenario, false);
                return value(sum(r, "dollar_sales") + " * 1.0 / NULLIF(" + sum(r, "units") + ", 0)", r);
            }
            case Measure::stdProdCost: {
                const Rows r = costRows(true);
                return value("avg(" + column(r, "prod_cost") + ")", r);
            }
            case Measure::stdShipCost: {
                const Rows r = costRows(false);
                return value("avg(" + column(r, "ship_cost") + ")", r);
            }
            case Measure::smoothedSales: {
                // The mean per month of the window's months (the cell has
                // none: its own months, which find no rows).
                const Months window = smoothingWindow(q, q.scenario);
                const Rows r = salesRows(q.scenario, false, window);
                return value(sum(r, "dollar_sales") + " / " + std::to_string(std::max(1, window.count())) + ".0", r);
            }
            case Measure::inventory: {
                const Rows r = inventoryRows();
                return value(sum(r, "inventory"), r);
            }
        }
        return "SELECT NULL AS value;";
    }

    const Query& q;
    const qemdata::Dimensions& dims;
    const SqlOptions& options;
};

}  // namespace

std::string querySql(const Query& q, const qemdata::Dimensions& dims, const SqlOptions& options) {
    return Writer(q, dims, options).statement();
}

std::string queryComment(const Query& q) {
    std::string text = "-- user " + std::to_string(q.user) + ", position " + std::to_string(q.position) + ", kind " +
                       std::to_string(q.kind);
    if (q.kind == 10) {
        text += ": " + std::string(scenarioName(q.scenario)) + " " + measureName(q.measure);
        if (const std::string why = noDataReason(q.scenario, q.measure); !why.empty()) text += ", NULL: " + why;
    }
    return text;
}

}  // namespace qemquery
