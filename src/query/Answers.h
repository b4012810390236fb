#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "query/Reading.h"

namespace qemquery {

// The sums a query's answer is made of, each exact in whole units: units,
// cents, thousandths of a dollar. Every field adds up over the rows of the
// query's cell, so the sums of a data set's shares add up to the whole's.
struct Sums {
    // Actual (index 0) and Budget (1) sales rows in the cell's months:
    // their count, units, cents and cost (units times the row's standard
    // product and shipping costs, in thousandths of a dollar).
    struct Sales {
        int64_t rows = 0, units = 0, cents = 0, costMillis = 0;
    } sales[2];
    // The sales rows of the smoothing window of kind 10's scenario, and
    // their cents.
    int64_t windowRows = 0, windowCents = 0;
    // The inventory rows of the closing month, and their inventory.
    int64_t inventoryRows = 0, inventory = 0;
    // The standard cost rows of the cell (kind 10's StdProdCost or
    // StdShipCost), and their costs in thousandths of a dollar.
    int64_t costRows = 0, costMillis = 0;

    Sums& operator+=(const Sums& o);
    bool operator==(const Sums& o) const = default;
    // The fields in a fixed order, for the partial answers' text.
    static constexpr size_t fieldCount = 14;
    void toFields(int64_t out[fieldCount]) const;
    static Sums fromFields(const int64_t in[fieldCount]);
};

// A value of an answer: exact, scaled by 10^decimals of its column; or NULL.
using Value = std::optional<int64_t>;

// What of a query its answer needs beside its sums: its kind, scenario and
// measure, the months of its smoothing window, whether it has a closing month.
struct Shape {
    int kind = 0;
    Scenario scenario = Scenario::actual;
    Measure measure = Measure::dollarSales;
    int32_t windowMonths = 0;
    bool closing = false;
    static Shape of(const Query& q);
};

// The answer of a query from its sums, column by column (answerColumns).
std::vector<Value> answerOf(const Shape& q, const Sums& s);

// "1234", "5678.00", "-0.125", "NULL": a value as the answers print it.
std::string valueText(const Value& v, int decimals);

// "user 1 position 17 kind 3": a query's place, as the answers and the
// messages name it.
std::string placeOf(int32_t user, int64_t position, int kind);
inline std::string placeOf(const Query& q) { return placeOf(q.user, q.position, q.kind); }

// The data set an answers file is of.
struct DataSetIdentity {
    int64_t channels = 0, densityCode = 0, users = 0, seed = 0;
    std::string text() const;  // "10 channels, density code 20, 10 users, seed 1796687470"
    bool operator==(const DataSetIdentity&) const = default;
};

// The text of the answers of every query: a header, a line per query, and
// the digest of every line before it.
//
//   qem answers 1
//   reading 1
//   data set: 10 channels, density code 20, 10 users, seed 1796687470
//   user 1 position 1 kind 3: 1234 5678.00 96
//   ...
//   digest 9f3c0a7e1b2d4c55
// One query's place and shape, as the answers name it.
struct Answered {
    int32_t user = 0;
    int64_t position = 0;
    Shape shape;
};
std::string answersText(const DataSetIdentity& id, const std::vector<Answered>& queries, const std::vector<Sums>& sums);

// The partial answers of one share: the header with "share K of S", then
// each query's sums.
std::string partialText(const DataSetIdentity& id, int32_t share, int32_t shares, const std::vector<Answered>& queries,
                        const std::vector<Sums>& sums);

// A partial answers file read back; throws std::runtime_error naming what is
// wrong with it (`name` in the message).
struct Partial {
    DataSetIdentity id;
    int32_t share = 0, shares = 0;
    struct Entry {
        int32_t user = 0;
        int64_t position = 0;
        Shape shape;
        Sums sums;
    };
    std::vector<Entry> queries;
};
Partial parsePartial(const std::string& text, const std::string& name);

// An answers file read back for a check: per (user, position) the kind and
// the values' texts (as printed); throws std::runtime_error naming what is
// wrong (a file of another reading, a digest that does not match).
struct ExpectedAnswers {
    DataSetIdentity id;
    std::map<std::pair<int32_t, int64_t>, std::pair<int, std::vector<std::string>>> answers;
};
ExpectedAnswers parseAnswers(const std::string& text, const std::string& name);

}  // namespace qemquery
