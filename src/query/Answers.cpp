#include "query/Answers.h"

// XXH3-64 compiled from its header, as the content sums use it.
#ifndef XXH_INLINE_ALL
#define XXH_INLINE_ALL
#endif
#include <xxhash.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "integrity/Manifest.h"

namespace qemquery {

namespace {

const char* const answersHeader = "qem answers 1";
const char* const partialHeader = "qem partial answers 1";

// num / den rounded half away from zero (den > 0), exactly.
int64_t rounded(__int128 num, __int128 den) {
    const __int128 magnitude = (2 * (num < 0 ? -num : num) + den) / (2 * den);
    return static_cast<int64_t>(num < 0 ? -magnitude : magnitude);
}

std::string headerOf(const char* first, const DataSetIdentity& id) {
    return std::string(first) + "\nreading " + std::to_string(readingVersion) + "\ndata set: " + id.text() + "\n";
}

// The lines of a text, without their line ends.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

[[noreturn]] void unreadable(const std::string& name, size_t line, const std::string& what) {
    throw std::runtime_error(name + (line ? " line " + std::to_string(line) : "") + ": " + what);
}

// The header's three lines: the kind of file, the reading, the data set.
DataSetIdentity readHeader(const std::vector<std::string>& lines, const char* first, const std::string& name) {
    if (lines.empty() || lines[0] != first) unreadable(name, 1, std::string("not a file of \"") + first + "\"");
    if (lines.size() < 3 || lines[1] != "reading " + std::to_string(readingVersion))
        unreadable(name, 2, "answers of another reading of the queries than reading " + std::to_string(readingVersion));
    DataSetIdentity id;
    long long c = 0, d = 0, u = 0, s = 0;
    char tail = 0;
    if (sscanf(lines[2].c_str(), "data set: %lld channels, density code %lld, %lld users, seed %lld%c", &c, &d, &u,
               &s, &tail) != 4)
        unreadable(name, 3, "no data set named");
    id.channels = c;
    id.densityCode = d;
    id.users = u;
    id.seed = s;
    return id;
}

// "user 1 position 17 kind 3" and the rest of the line after ": ".
bool readPlace(const std::string& line, int32_t& user, int64_t& position, int& kind, std::string& rest) {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) return false;
    long long u = 0, p = 0;
    int k = 0;
    char tail = 0;
    if (sscanf(line.substr(0, colon).c_str(), "user %lld position %lld kind %d%c", &u, &p, &k, &tail) != 3) return false;
    if (u < 1 || u > INT32_MAX || p < 1 || k < 1 || k > 10) return false;
    user = static_cast<int32_t>(u);
    position = p;
    kind = k;
    rest = line.substr(colon + 2);
    return true;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> w;
    std::istringstream in(text);
    for (std::string word; in >> word;) w.push_back(word);
    return w;
}

}  // namespace

std::string placeOf(int32_t user, int64_t position, int kind) {
    return "user " + std::to_string(user) + " position " + std::to_string(position) + " kind " + std::to_string(kind);
}

Sums& Sums::operator+=(const Sums& o) {
    for (int s = 0; s < 2; ++s) {
        sales[s].rows += o.sales[s].rows;
        sales[s].units += o.sales[s].units;
        sales[s].cents += o.sales[s].cents;
        sales[s].costMillis += o.sales[s].costMillis;
    }
    windowRows += o.windowRows;
    windowCents += o.windowCents;
    inventoryRows += o.inventoryRows;
    inventory += o.inventory;
    costRows += o.costRows;
    costMillis += o.costMillis;
    return *this;
}

void Sums::toFields(int64_t out[fieldCount]) const {
    const int64_t f[fieldCount] = {sales[0].rows, sales[0].units, sales[0].cents, sales[0].costMillis,
                                   sales[1].rows, sales[1].units, sales[1].cents, sales[1].costMillis,
                                   windowRows,    windowCents,    inventoryRows,  inventory,
                                   costRows,      costMillis};
    std::copy(f, f + fieldCount, out);
}

Sums Sums::fromFields(const int64_t f[fieldCount]) {
    Sums s;
    for (int k = 0; k < 2; ++k) {
        s.sales[k].rows = f[4 * k];
        s.sales[k].units = f[4 * k + 1];
        s.sales[k].cents = f[4 * k + 2];
        s.sales[k].costMillis = f[4 * k + 3];
    }
    s.windowRows = f[8];
    s.windowCents = f[9];
    s.inventoryRows = f[10];
    s.inventory = f[11];
    s.costRows = f[12];
    s.costMillis = f[13];
    return s;
}

Shape Shape::of(const Query& q) {
    Shape s;
    s.kind = q.kind;
    s.scenario = q.scenario;
    s.measure = q.measure;
    s.windowMonths = smoothingWindow(q, q.scenario).count();
    s.closing = closingMonth(q).has_value();
    return s;
}

std::vector<Value> answerOf(const Shape& q, const Sums& s) {
    const auto& actual = s.sales[0];
    const auto& budget = s.sales[1];
    const auto sum = [](int64_t rows, int64_t v) { return rows > 0 ? Value(v) : std::nullopt; };
    std::vector<Value> values;
    for (const Column& c : answerColumns(q.kind, q.measure)) {
        switch (c.quantity) {
            case Quantity::units: values.push_back(sum(actual.rows, actual.units)); break;
            case Quantity::dollarSales: values.push_back(sum(actual.rows, actual.cents)); break;
            case Quantity::inventory: values.push_back(q.closing ? sum(s.inventoryRows, s.inventory) : std::nullopt); break;
            case Quantity::budgetUnits: values.push_back(sum(budget.rows, budget.units)); break;
            case Quantity::budgetDollarSales: values.push_back(sum(budget.rows, budget.cents)); break;
            case Quantity::measure: {
                if (!noDataReason(q.scenario, q.measure).empty()) {
                    values.push_back(std::nullopt);
                    break;
                }
                const auto& rows = s.sales[q.scenario == Scenario::budget ? 1 : 0];
                const __int128 salesMillis = static_cast<__int128>(rows.cents) * 10;
                Value v;
                switch (q.measure) {
                    case Measure::dollarSales: v = sum(rows.rows, rows.cents); break;
                    case Measure::units: v = sum(rows.rows, rows.units); break;
                    case Measure::dollarCost: v = sum(rows.rows, rows.costMillis); break;
                    case Measure::margin: v = sum(rows.rows, static_cast<int64_t>(salesMillis - rows.costMillis)); break;
                    case Measure::marginPct:
                        // 100 * margin / sales, to six decimals.
                        if (rows.rows > 0 && rows.cents != 0)
                            v = rounded((salesMillis - rows.costMillis) * 100000000, salesMillis);
                        break;
                    case Measure::avgSellingPrice:
                        if (rows.rows > 0 && rows.units != 0) v = rounded(static_cast<__int128>(rows.cents) * 10000, rows.units);
                        break;
                    case Measure::stdProdCost:
                    case Measure::stdShipCost:
                        if (s.costRows > 0) v = rounded(static_cast<__int128>(s.costMillis) * 1000, s.costRows);
                        break;
                    case Measure::smoothedSales:
                        if (s.windowRows > 0 && q.windowMonths > 0)
                            v = rounded(static_cast<__int128>(s.windowCents) * 10000, q.windowMonths);
                        break;
                    case Measure::inventory: v = q.closing ? sum(s.inventoryRows, s.inventory) : std::nullopt; break;
                }
                values.push_back(v);
                break;
            }
        }
    }
    return values;
}

std::string valueText(const Value& v, int decimals) {
    if (!v) return "NULL";
    const bool negative = *v < 0;
    std::string digits = std::to_string(negative ? 0 - static_cast<uint64_t>(*v) : static_cast<uint64_t>(*v));
    if (decimals > 0) {
        if (digits.size() <= static_cast<size_t>(decimals)) digits.insert(0, decimals + 1 - digits.size(), '0');
        digits.insert(digits.size() - static_cast<size_t>(decimals), 1, '.');
    }
    return (negative ? "-" : "") + digits;
}

std::string DataSetIdentity::text() const {
    return std::to_string(channels) + " channels, density code " + std::to_string(densityCode) + ", " +
           std::to_string(users) + " users, seed " + std::to_string(seed);
}

std::string answersText(const DataSetIdentity& id, const std::vector<Answered>& queries, const std::vector<Sums>& sums) {
    std::string text = headerOf(answersHeader, id);
    for (size_t i = 0; i < queries.size(); ++i) {
        const Answered& q = queries[i];
        const std::vector<Column>& columns = answerColumns(q.shape.kind, q.shape.measure);
        const std::vector<Value> values = answerOf(q.shape, sums[i]);
        text += placeOf(q.user, q.position, q.shape.kind) + ":";
        for (size_t c = 0; c < columns.size(); ++c) text += " " + valueText(values[c], columns[c].decimals);
        text += "\n";
    }
    return text + "digest " + qem::hex(XXH3_64bits(text.data(), text.size()), 16) + "\n";
}

std::string partialText(const DataSetIdentity& id, int32_t share, int32_t shares, const std::vector<Answered>& queries,
                        const std::vector<Sums>& sums) {
    std::string text = headerOf(partialHeader, id);
    text += "share " + std::to_string(share) + " of " + std::to_string(shares) + "\n";
    for (size_t i = 0; i < queries.size(); ++i) {
        const Shape& s = queries[i].shape;
        text += placeOf(queries[i].user, queries[i].position, s.kind) + ": " +
                std::to_string(static_cast<int>(s.scenario)) + " " + std::to_string(static_cast<int>(s.measure)) + " " +
                std::to_string(s.windowMonths) + " " + (s.closing ? "1" : "0");
        int64_t fields[Sums::fieldCount];
        sums[i].toFields(fields);
        for (const int64_t f : fields) text += " " + std::to_string(f);
        text += "\n";
    }
    return text + "end\n";
}

Partial parsePartial(const std::string& text, const std::string& name) {
    const std::vector<std::string> lines = linesOf(text);
    Partial p;
    p.id = readHeader(lines, partialHeader, name);
    if (lines.size() < 4 || sscanf(lines[3].c_str(), "share %d of %d", &p.share, &p.shares) != 2 || p.shares < 1 ||
        p.share < 1 || p.share > p.shares)
        unreadable(name, 4, "no share named");
    if (lines.back() != "end") unreadable(name, 0, "cut short (its last line is not \"end\")");
    for (size_t i = 4; i + 1 < lines.size(); ++i) {
        Partial::Entry e;
        std::string rest;
        if (!readPlace(lines[i], e.user, e.position, e.shape.kind, rest)) unreadable(name, i + 1, "unreadable");
        const std::vector<std::string> w = words(rest);
        if (w.size() != 4 + Sums::fieldCount) unreadable(name, i + 1, "unreadable");
        int64_t f[4 + Sums::fieldCount];
        for (size_t k = 0; k < w.size(); ++k) {
            size_t used = 0;
            try {
                f[k] = std::stoll(w[k], &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != w[k].size()) unreadable(name, i + 1, "unreadable");
        }
        if (f[0] < 0 || f[0] > 3 || f[1] < 0 || f[1] > 9 || f[2] < 0 || f[2] > 3 || f[3] < 0 || f[3] > 1)
            unreadable(name, i + 1, "unreadable");
        e.shape.scenario = static_cast<Scenario>(f[0]);
        e.shape.measure = static_cast<Measure>(f[1]);
        e.shape.windowMonths = static_cast<int32_t>(f[2]);
        e.shape.closing = f[3] == 1;
        e.sums = Sums::fromFields(f + 4);
        p.queries.push_back(e);
    }
    return p;
}

ExpectedAnswers parseAnswers(const std::string& text, const std::string& name) {
    const std::vector<std::string> lines = linesOf(text);
    ExpectedAnswers a;
    a.id = readHeader(lines, answersHeader, name);
    if (lines.back().rfind("digest ", 0) != 0) unreadable(name, 0, "cut short (no digest at its end)");
    const size_t digestAt = text.rfind("digest ");
    if (lines.back() != "digest " + qem::hex(XXH3_64bits(text.data(), digestAt), 16))
        unreadable(name, lines.size(), "its digest does not match its lines (changed since it was written?)");
    for (size_t i = 3; i + 1 < lines.size(); ++i) {
        int32_t user = 0;
        int64_t position = 0;
        int kind = 0;
        std::string rest;
        if (!readPlace(lines[i], user, position, kind, rest)) unreadable(name, i + 1, "unreadable");
        a.answers[{user, position}] = {kind, words(rest)};
    }
    return a;
}

}  // namespace qemquery
