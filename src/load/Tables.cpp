#include "load/Tables.h"

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "load/FixedFields.h"
#include "load/LoadError.h"

namespace qemload {

namespace ff = fixed_fields;

namespace {

constexpr SqlType codeType{"varchar(12) COLLATE \"C\" NOT NULL", "VARCHAR(12) NOT NULL", "String"};
constexpr SqlType nullableCode{"varchar(12) COLLATE \"C\"", "VARCHAR(12)", "Nullable(String)"};
constexpr SqlType countType{"integer NOT NULL", "INTEGER NOT NULL", "Int32"};
constexpr SqlType kindType{"smallint NOT NULL", "SMALLINT NOT NULL", "Int16"};
constexpr SqlType scenarioType{"varchar(12) NOT NULL", "VARCHAR(12) NOT NULL", "String"};
constexpr SqlType nameType{"varchar(24)", "VARCHAR(24)", "Nullable(String)"};  // a query's scenario or measure
// "%10.2lf": at most 7 + 2 digits; "%10.3lf": at most 6 + 3 digits.
constexpr SqlType amountType{"numeric(9,2) NOT NULL", "DECIMAL(9,2) NOT NULL", "Decimal(9, 2)"};
constexpr SqlType costType{"numeric(9,3) NOT NULL", "DECIMAL(9,3) NOT NULL", "Decimal(9, 3)"};
constexpr const char* currentMonth = "199606";

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

// The code in a member column, which must name a member of the dimension (and
// a leaf when leafOnly).
MemberRef member(const LineContext& ctx, int d, const ff::Field& f, const char* line, bool left, bool leafOnly) {
    const std::string_view code = ff::text(f, line, left);
    const Dimension& dim = (*ctx.dims)[d];
    int32_t level = 0;
    const int32_t at = dim.find(code, level);
    if (at < 0) throw LineError(std::string(f.name) + " " + quoted(code) + " is not in " + dim.layout.treeFile);
    if (leafOnly && level != 0)
        throw LineError(std::string(f.name) + " " + quoted(code) + " is not a leaf (its level is " +
                        dim.layout.levels[level] + ")");
    return MemberRef{code, d, at};
}

// A code of up to 8 characters as a number that orders as the code does in
// byte order: its bytes, padded with NULs, read big-endian (codes hold no
// NUL, so a shorter code still comes first). Month codes, 6 characters, are
// put together from two loads.
uint64_t codeOrder(std::string_view s) {
    static_assert(std::endian::native == std::endian::little, "the two loads are byte-swapped");
    if (s.size() == 6) {
        uint32_t high;
        uint16_t low;
        memcpy(&high, s.data(), 4);
        memcpy(&low, s.data() + 4, 2);
        return static_cast<uint64_t>(__builtin_bswap32(high)) << 32 | static_cast<uint64_t>(__builtin_bswap16(low)) << 16;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v = v << 8 | (i < s.size() ? static_cast<unsigned char>(s[i]) : 0u);
    return v;
}

// Whether code a comes before code b in byte order, without a library call.
bool before(std::string_view a, std::string_view b) {
    if (a.size() > 8 || b.size() > 8) return a < b;
    return codeOrder(a) < codeOrder(b);
}

// A month column whose code lies in first .. last (months are ordered by code).
MemberRef month(const LineContext& ctx, const ff::Field& f, const char* line, std::string_view first,
                std::string_view last) {
    const MemberRef m = member(ctx, timeDimension, f, line, false, true);
    if (before(m.code, first) || before(last, m.code))
        throw LineError(std::string(f.name) + " " + quoted(m.code) + " lies outside " + std::string(first) + " .. " +
                        std::string(last));
    return m;
}

// histsale.qem: "%12s%12s%12s%6s%10d%10.2lf"
template <typename Rows>
void histsaleLine(const LineContext& ctx, const char* line, uint64_t, Rows& out) {
    static const ff::Field customer{"customer", 1, 12}, product{"product", 13, 12}, channel{"channel", 25, 12},
        monthField{"month", 37, 6}, units{"units", 43, 10}, sales{"dollar sales", 53, 10};
    out.begin(6);
    out.member(member(ctx, customerDimension, customer, line, false, true));
    out.member(member(ctx, productDimension, product, line, false, true));
    out.member(member(ctx, channelDimension, channel, line, false, true));
    out.member(month(ctx, monthField, line, "199501", "199605"));
    out.int32(ff::int32(units, line));
    out.decimal(ff::number(sales, line, 2), 2);
}

// currsale.qem: "%-12s%-12s%-12s%10d%10.2lf", all of month 199606.
template <typename Rows>
void currsaleLine(const LineContext& ctx, const char* line, uint64_t, Rows& out) {
    static const ff::Field customer{"customer", 1, 12}, product{"product", 13, 12}, channel{"channel", 25, 12},
        units{"units", 37, 10}, sales{"dollar sales", 47, 10};
    out.begin(6);
    out.member(member(ctx, customerDimension, customer, line, true, true));
    out.member(member(ctx, productDimension, product, line, true, true));
    out.member(member(ctx, channelDimension, channel, line, true, true));
    out.text(currentMonth);
    out.int32(ff::int32(units, line));
    out.decimal(ff::number(sales, line, 2), 2);
}

// budget.qem: "%12s%12s%6s%10d%10.2lf"
template <typename Rows>
void budgetLine(const LineContext& ctx, const char* line, uint64_t, Rows& out) {
    static const ff::Field customer{"customer", 1, 12}, product{"product", 13, 12}, monthField{"month", 25, 6},
        units{"units", 31, 10}, sales{"dollar sales", 41, 10};
    out.begin(5);
    out.member(member(ctx, customerDimension, customer, line, false, true));
    out.member(member(ctx, productDimension, product, line, false, true));
    out.member(month(ctx, monthField, line, "199601", "199612"));
    out.int32(ff::int32(units, line));
    out.decimal(ff::number(sales, line, 2), 2);
}

// histinv.qem: "%12s%12s" and 17 x "%10d", months 199501 .. 199605; one row
// per month.
template <typename Rows>
void histinvLine(const LineContext& ctx, const char* line, uint64_t, Rows& out) {
    static const ff::Field customer{"customer", 1, 12}, product{"product", 13, 12};
    static const std::array<ff::Field, 17> values = [] {
        static const std::array<std::string, 17> names = [] {
            std::array<std::string, 17> n;
            for (int m = 0; m < 17; ++m) n[m] = "inventory of " + monthCodes()[m];
            return n;
        }();
        std::array<ff::Field, 17> v;
        for (int m = 0; m < 17; ++m) v[m] = ff::Field{names[m].c_str(), 25 + 10 * m, 10};
        return v;
    }();
    const MemberRef c = member(ctx, customerDimension, customer, line, false, true);
    const MemberRef p = member(ctx, productDimension, product, line, false, true);
    int32_t inventory[17];
    for (int m = 0; m < 17; ++m) inventory[m] = ff::int32(values[m], line);
    for (int m = 0; m < 17; ++m) {
        out.begin(4);
        out.member(c);
        out.member(p);
        out.text(monthCodes()[m]);
        out.int32(inventory[m]);
    }
}

// currinv.qem: "%-12s%-12s%10ld", month 199606.
template <typename Rows>
void currinvLine(const LineContext& ctx, const char* line, uint64_t, Rows& out) {
    static const ff::Field customer{"customer", 1, 12}, product{"product", 13, 12}, value{"inventory", 25, 10};
    out.begin(4);
    out.member(member(ctx, customerDimension, customer, line, true, true));
    out.member(member(ctx, productDimension, product, line, true, true));
    out.text(currentMonth);
    out.int32(ff::int32(value, line));
}

// custship.qem and prodcos.qem: "%12s%-12s%6s%10.3lf"; Actual covers 199501 ..
// 199606, Budget 199601 .. 199612.
template <int Dim, typename Rows>
void costLine(const LineContext& ctx, const char* line, uint64_t, Rows& out) {
    static const ff::Field code{Dim == customerDimension ? "customer" : "product", 1, 12},
        scenario{"scenario", 13, 12}, monthField{"month", 25, 6}, cost{"cost", 31, 10};
    out.begin(4);
    out.member(member(ctx, Dim, code, line, false, true));
    const std::string_view s = ff::text(scenario, line, true);
    if (s == "Actual") {
        out.text(s);
        out.ordinal(0, 2);
        out.member(month(ctx, monthField, line, "199501", "199606"));
    } else if (s == "Budget") {
        out.text(s);
        out.ordinal(1, 2);
        out.member(month(ctx, monthField, line, "199601", "199612"));
    } else {
        ff::fail(scenario, line, "is neither Actual nor Budget");
    }
    out.decimal(ff::number(cost, line, 3), 3);
}

// Query files: seven 24-character fields, the kind right-justified, then six
// left-justified fields whose meaning depends on the kind.
enum QueryField { unused, productField, customerField, channelField, timeField, scenarioField, measureField };

const std::array<std::array<QueryField, 6>, 11> queryLayouts{{
    {},
    {productField, customerField, channelField, timeField, unused, unused},
    {productField, customerField, timeField, unused, unused, unused},
    {productField, customerField, unused, unused, unused, unused},
    {productField, customerField, timeField, unused, unused, unused},
    {customerField, unused, unused, unused, unused, unused},
    {productField, unused, unused, unused, unused, unused},
    {productField, customerField, timeField, unused, unused, unused},
    {productField, customerField, unused, unused, unused, unused},
    {productField, customerField, unused, unused, unused, unused},
    {productField, customerField, channelField, timeField, scenarioField, measureField},
}};

const char* const scenarioNames[] = {"Actual", "Budget", "Forecast", "Scenario"};
const char* const measureNames[] = {"DollarSales", "DollarCost",  "Units",       "Margin",        "MarginPct",
                                    "AvgSellingPrice", "StdProdCost", "StdShipCost", "SmoothedSales", "Inventory"};

template <size_t N>
bool oneOf(std::string_view s, const char* const (&names)[N]) {
    for (const char* n : names)
        if (s == n) return true;
    return false;
}

template <typename Rows>
void queryLine(const LineContext& ctx, const char* line, uint64_t lineNumber, Rows& out) {
    static const ff::Field kindField{"kind", 1, 24};
    static const std::array<ff::Field, 6> fields{{{"field 2", 25, 24},
                                                  {"field 3", 49, 24},
                                                  {"field 4", 73, 24},
                                                  {"field 5", 97, 24},
                                                  {"field 6", 121, 24},
                                                  {"field 7", 145, 24}}};
    static const ff::Field product{"product", 0, 24}, customer{"customer", 0, 24}, channel{"channel", 0, 24},
        time{"time", 0, 24};
    const int64_t kind = ff::number(kindField, line, 0);
    if (kind < 1 || kind > 10) ff::fail(kindField, line, "is not a query kind 1 to 10");
    // Values by QueryField; unset ones stay NULL.
    std::array<std::string_view, 7> values{};
    std::array<bool, 7> present{};
    for (int i = 0; i < 6; ++i) {
        const QueryField q = queryLayouts[kind][i];
        const ff::Field& f = fields[i];
        if (q == unused) {
            if (!ff::blank(f, line)) ff::fail(f, line, ("should be blank in a query of kind " + std::to_string(kind)).c_str());
            continue;
        }
        const std::string_view text = ff::text(f, line, true);
        present[q] = true;
        // Kind 10 names a whole dimension by its name: an open dimension.
        static const char* const openNames[] = {"", "Product", "Customer", "Channel", "Time"};
        if (kind == 10 && q <= timeField && text == openNames[q]) {
            present[q] = false;
            continue;
        }
        if (q == scenarioField) {
            if (!oneOf(text, scenarioNames)) ff::fail(f, line, "is not a scenario name");
        } else if (q == measureField) {
            if (!oneOf(text, measureNames)) ff::fail(f, line, "is not a measure name");
        } else {
            static const int dims[] = {0, productDimension, customerDimension, channelDimension, timeDimension};
            static const ff::Field* named[] = {nullptr, &product, &customer, &channel, &time};
            ff::Field at = *named[q];
            at.column = f.column;
            member(ctx, dims[q], at, line, true, false);
        }
        values[q] = text;
    }
    out.begin(9);
    out.int32(ctx.user);
    out.int32(static_cast<int32_t>(lineNumber));
    out.int16(static_cast<int16_t>(kind));
    for (int q = productField; q <= measureField; ++q) {
        if (present[q])
            out.text(values[q]);
        else
            out.null();
    }
}

}  // namespace

const std::vector<std::string>& monthCodes() {
    static const std::vector<std::string> codes = [] {
        std::vector<std::string> c;
        for (int m = 0; m < 24; ++m) {
            char text[8];
            snprintf(text, sizeof text, "%04d%02d", 1995 + m / 12, m % 12 + 1);
            c.emplace_back(text);
        }
        return c;
    }();
    return codes;
}

void checkMonths(const Dimensions& dims) {
    const Dimension& time = dims[timeDimension];
    for (const std::string& code : monthCodes()) {
        const int32_t at = time.find(code);
        if (at < 0 || !time.isLeaf(at))
            throw LoadError(std::string(time.layout.treeFile) + ": month " + quoted(code) + " is missing");
    }
}

std::string queryFileName(int32_t user) {
    char name[32];
    snprintf(name, sizeof name, "qry%3.3ld.qem", static_cast<long>(user));
    return name;
}

const std::vector<TableDef>& factTables() {
    static const std::vector<TableDef> tables{
        {"histsale", "histsale.qem", 62, 1,
         {{"customer", codeType}, {"product", codeType}, {"channel", codeType}, {"month", codeType},
          {"units", countType}, {"dollar_sales", amountType}},
         {"customer", "product", "channel", "month"},
         {{"customer", customerDimension, true}, {"product", productDimension, true},
          {"channel", channelDimension, true}, {"month", timeDimension, true}},
         histsaleLine<BinaryRows>, histsaleLine<CsvRows>, histsaleLine<KeyedRows>, histsaleLine<TextRows>},
        {"histinv", "histinv.qem", 194, 17,
         {{"customer", codeType}, {"product", codeType}, {"month", codeType}, {"inventory", countType}},
         {"customer", "product", "month"},
         {{"customer", customerDimension, true}, {"product", productDimension, true},
          {"month", timeDimension, true}},
         histinvLine<BinaryRows>, histinvLine<CsvRows>, histinvLine<KeyedRows>, histinvLine<TextRows>},
        {"budget", "budget.qem", 50, 1,
         {{"customer", codeType}, {"product", codeType}, {"month", codeType}, {"units", countType},
          {"dollar_sales", amountType}},
         {"customer", "product", "month"},
         {{"customer", customerDimension, true}, {"product", productDimension, true},
          {"month", timeDimension, true}},
         budgetLine<BinaryRows>, budgetLine<CsvRows>, budgetLine<KeyedRows>, budgetLine<TextRows>},
        {"currsale", "currsale.qem", 56, 1,
         {{"customer", codeType}, {"product", codeType}, {"channel", codeType}, {"month", codeType},
          {"units", countType}, {"dollar_sales", amountType}},
         {"customer", "product", "channel", "month"},
         {{"customer", customerDimension, true}, {"product", productDimension, true},
          {"channel", channelDimension, true}, {"month", timeDimension, true}},
         currsaleLine<BinaryRows>, currsaleLine<CsvRows>, currsaleLine<KeyedRows>, currsaleLine<TextRows>},
        {"currinv", "currinv.qem", 34, 1,
         {{"customer", codeType}, {"product", codeType}, {"month", codeType}, {"inventory", countType}},
         {"customer", "product", "month"},
         {{"customer", customerDimension, true}, {"product", productDimension, true},
          {"month", timeDimension, true}},
         currinvLine<BinaryRows>, currinvLine<CsvRows>, currinvLine<KeyedRows>, currinvLine<TextRows>},
        {"prodcos", "prodcos.qem", 40, 1,
         {{"product", codeType}, {"scenario", scenarioType}, {"month", codeType},
          {"prod_cost", costType}},
         {"product", "scenario", "month"},
         {{"product", productDimension, true}, {"month", timeDimension, true}},
         costLine<productDimension, BinaryRows>, costLine<productDimension, CsvRows>,
         costLine<productDimension, KeyedRows>, costLine<productDimension, TextRows>},
        {"custship", "custship.qem", 40, 1,
         {{"customer", codeType}, {"scenario", scenarioType}, {"month", codeType},
          {"ship_cost", costType}},
         {"customer", "scenario", "month"},
         {{"customer", customerDimension, true}, {"month", timeDimension, true}},
         costLine<customerDimension, BinaryRows>, costLine<customerDimension, CsvRows>,
         costLine<customerDimension, KeyedRows>, costLine<customerDimension, TextRows>},
        {"query", nullptr, 168, 1,
         {{"user_number", countType}, {"position", countType}, {"kind", kindType},
          {"product", nullableCode}, {"customer", nullableCode}, {"channel", nullableCode}, {"time", nullableCode},
          {"scenario", nameType}, {"measure", nameType}},
         {"user_number", "position"},
         {{"product", productDimension, false}, {"customer", customerDimension, false},
          {"channel", channelDimension, false}, {"time", timeDimension, false}},
         queryLine<BinaryRows>, queryLine<CsvRows>, queryLine<KeyedRows>, queryLine<TextRows>},
    };
    return tables;
}

}  // namespace qemload
