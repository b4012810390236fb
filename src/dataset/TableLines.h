#pragma once
#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/DataSetError.h"
#include "dataset/FixedFields.h"
#include "dataset/Tables.h"

namespace qemdata {

// How each line of a table's file becomes rows: every field checked (codes
// of known members, leaves where the table asks for them, months in the
// file's range, numbers in their form) and handed to `out`, a writer of rows
// with begin(fields), member(MemberRef), text(), null(), int16(), int32(),
// decimal(scaled, scale) and ordinal(rank, of) (the rank of a value that is
// not a member in its table's key order: a cost line's scenario). A fault
// is thrown as a LineError, which the line walk turns into a DataSetError
// naming file and line.
template <typename Rows>
using LineParser = void (*)(const LineContext&, const char* line, uint64_t lineNumber, Rows& out);

namespace table_lines {

namespace ff = fixed_fields;

inline constexpr const char* currentMonth = "199606";

}  // namespace table_lines

// The inventory values of histinv.qem (17 columns, the months 199501 ..
// 199605) and currinv.qem (one column, 199606); none for other tables.
// They are the random values of a data set, the columns its content sum
// reads as spaces, so their form is checked on its own wherever the files
// are read (ContentCheck), exactly as the line parsers check it.
inline const std::vector<fixed_fields::Field>& inventoryFields(TableId table) {
    static const std::vector<fixed_fields::Field> none, current{{"inventory", 25, 10}};
    static const std::vector<fixed_fields::Field> historical = [] {
        static std::array<std::string, 17> names;
        std::vector<fixed_fields::Field> v;
        for (int m = 0; m < 17; ++m) {
            names[m] = "inventory of " + monthCodes()[m];
            v.push_back(fixed_fields::Field{names[m].c_str(), 25 + 10 * m, 10});
        }
        return v;
    }();
    return table == TableId::histinv ? historical : table == TableId::currinv ? current : none;
}

// An inventory value: a right-justified whole number from 1 to 12.
inline int32_t inventoryValue(const fixed_fields::Field& f, const char* line) {
    const int64_t value = fixed_fields::number(f, line, 0);
    if (value < 1 || value > 12) fixed_fields::fail(f, line, "is not an inventory value (1 to 12)");
    return static_cast<int32_t>(value);
}

namespace table_lines {

inline std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

// The code in a member column, which must name a member of the dimension (and
// a leaf when leafOnly).
inline MemberRef member(const LineContext& ctx, int d, const ff::Field& f, const char* line, bool left, bool leafOnly) {
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
inline uint64_t codeOrder(std::string_view s) {
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
inline bool before(std::string_view a, std::string_view b) {
    if (a.size() > 8 || b.size() > 8) return a < b;
    return codeOrder(a) < codeOrder(b);
}

// A month column whose code lies in first .. last (months are ordered by code).
inline MemberRef month(const LineContext& ctx, const ff::Field& f, const char* line, std::string_view first,
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
    const std::vector<ff::Field>& values = inventoryFields(TableId::histinv);
    const MemberRef c = member(ctx, customerDimension, customer, line, false, true);
    const MemberRef p = member(ctx, productDimension, product, line, false, true);
    int32_t inventory[17];
    for (int m = 0; m < 17; ++m) inventory[m] = inventoryValue(values[m], line);
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
    static const ff::Field customer{"customer", 1, 12}, product{"product", 13, 12};
    const ff::Field& value = inventoryFields(TableId::currinv).front();
    out.begin(4);
    out.member(member(ctx, customerDimension, customer, line, true, true));
    out.member(member(ctx, productDimension, product, line, true, true));
    out.text(currentMonth);
    out.int32(inventoryValue(value, line));
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

inline const std::array<std::array<QueryField, 6>, 11> queryLayouts{{
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

inline const char* const scenarioNames[] = {"Actual", "Budget", "Forecast", "Scenario"};
inline const char* const measureNames[] = {"DollarSales", "DollarCost",  "Units",       "Margin",        "MarginPct",
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

}  // namespace table_lines

// The parser of a table's lines for rows of type Rows.
template <typename Rows>
LineParser<Rows> lineParser(const TableDef& def) {
    using namespace table_lines;
    switch (def.id) {
        case TableId::histsale: return histsaleLine<Rows>;
        case TableId::histinv: return histinvLine<Rows>;
        case TableId::budget: return budgetLine<Rows>;
        case TableId::currsale: return currsaleLine<Rows>;
        case TableId::currinv: return currinvLine<Rows>;
        case TableId::prodcos: return costLine<productDimension, Rows>;
        case TableId::custship: return costLine<customerDimension, Rows>;
        case TableId::query: return queryLine<Rows>;
    }
    return nullptr;
}

}  // namespace qemdata
