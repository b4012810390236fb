// qemquery answers as a process on the smallest data set: its answers are
// those that a plain, slow scan of the files gives, written here on its own
// from docs/queries.md (every kind, empty cells among them); and the answers
// of a data set's shares, added, are the answers of the whole, byte for byte.
#include <cmath>
#include <sstream>
#include <unordered_map>

#include "run/ProgramRun.h"

namespace qemtest {
namespace {

std::string trimmed(const std::string& s) {
    const size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// Month 0 ("199501") to 23 ("199612") of a month code.
int monthOf(const std::string& code) { return (std::stoi(code.substr(0, 4)) - 1995) * 12 + std::stoi(code.substr(4)) - 1; }

// A dimension from its tree file: every member's parent and level name.
struct Tree {
    std::map<std::string, std::string> parent, level;
    // The member itself and all its ancestors, found once for each member.
    const std::set<std::string>& upFrom(const std::string& code) const {
        auto [at, added] = up.emplace(code, std::set<std::string>{});
        if (added)
            for (std::string c = code; !c.empty(); c = parent.at(c)) at->second.insert(c);
        return at->second;
    }
    mutable std::unordered_map<std::string, std::set<std::string>> up;
};

Tree readTree(const fs::path& file, int codeWidth, int levelWidth) {
    Tree t;
    forEachLine(file.string(), [&](const std::string& line) {
        const std::string code = trimmed(line.substr(0, codeWidth));
        t.parent[code] = trimmed(line.substr(codeWidth, codeWidth));
        t.level[code] = trimmed(line.substr(2 * codeWidth, levelWidth));
    });
    return t;
}

// A query of a file and what the scan sums for it.
struct Asked {
    int position = 0, kind = 0;
    std::string product, customer, channel, time, scenario, measure;  // "" where not named (or open)
    int first = 0, last = 23;                                          // the time member's months
    // Actual and Budget rows: count, units, dollars, cost; the smoothing
    // window's rows and dollars; the closing inventory; standard costs.
    long double rows[2] = {}, units[2] = {}, dollars[2] = {}, cost[2] = {};
    long double windowRows = 0, windowDollars = 0, invRows = 0, inventory = 0, costRows = 0, costSum = 0;
};

class Answers : public ProgramRun {
protected:
    Outcome qemquery(const std::vector<std::string>& arguments) {
        ChildSetup setup;
        setup.program = QEMQUERY_PATH;
        setup.arguments = arguments;
        return run("", dir, setup);
    }
};

TEST_F(Answers, AreThoseOfAPlainScanOfTheFiles) {
    const fs::path data = dir / "data";
    fs::create_directory(data);
    for (const std::string& input : {validAnswers, std::string(), std::string()}) ASSERT_EQ(run(input, data).status, 0);
    const Outcome answered = qemquery({"answers", "--out", (dir / "answers.txt").string(), data.string()});
    ASSERT_EQ(answered.status, 0) << answered.err;

    const Tree product = readTree(data / "prodtree.qem", 12, 12), customer = readTree(data / "custtree.qem", 12, 12);
    const Tree time = readTree(data / "timetree.qem", 6, 7);
    // The first 400 queries of user 1: every kind, empty cells among them.
    std::vector<Asked> asked;
    forEachLine((data / "qry001.qem").string(), [&](const std::string& line) {
        if (asked.size() == 400) return;
        Asked q;
        q.position = static_cast<int>(asked.size()) + 1;
        q.kind = std::stoi(line.substr(0, 24));
        std::string f[6];
        for (int i = 0; i < 6; ++i) f[i] = trimmed(line.substr(24 + 24 * i, 24));
        const auto open = [](const std::string& v, const char* name) { return v == name ? "" : v; };
        switch (q.kind) {
            case 1: q.product = f[0], q.customer = f[1], q.channel = f[2], q.time = f[3]; break;
            case 2: case 4: case 7: q.product = f[0], q.customer = f[1], q.time = f[2]; break;
            case 3: case 8: case 9: q.product = f[0], q.customer = f[1]; break;
            case 5: q.customer = f[0]; break;
            case 6: q.product = f[0]; break;
            default:
                q.product = open(f[0], "Product"), q.customer = open(f[1], "Customer"), q.channel = open(f[2], "Channel");
                q.time = f[3], q.scenario = f[4], q.measure = f[5];
        }
        if (!q.time.empty()) {
            q.first = 23, q.last = 0;
            for (const auto& [code, level] : time.level)
                if (level == "Month" && time.upFrom(code).count(q.time))
                    q.first = std::min(q.first, monthOf(code)), q.last = std::max(q.last, monthOf(code));
        }
        asked.push_back(q);
    });
    std::set<int> kinds;
    for (const Asked& q : asked) kinds.insert(q.kind);
    EXPECT_EQ(kinds.size(), 10u);

    // The scenario's months of the query's cell; -1, -1 when none.
    const auto held = [](const Asked& q, int s) {
        const int first = std::max(q.first, s == 0 ? 0 : 12), last = std::min(q.last, s == 0 ? 17 : 23);
        return first <= last ? std::pair<int, int>{first, last} : std::pair<int, int>{-1, -1};
    };
    const auto in = [](const Tree& t, const std::string& named, const std::string& leaf) {
        return named.empty() || t.upFrom(leaf).count(named) > 0;
    };
    std::vector<Asked*> costQueries;
    for (Asked& q : asked)
        if (q.measure == "StdProdCost" || q.measure == "StdShipCost") costQueries.push_back(&q);
    // The standard costs, for the cost of each sales row.
    std::unordered_map<std::string, long double> prodCost, shipCost;  // by code, scenario and month
    const auto key = [](const std::string& code, int scenario, int month) {
        return code + "/" + std::to_string(scenario) + "/" + std::to_string(month);
    };
    for (const auto& [file, costs, tree, isProduct] :
         {std::tuple{"prodcos.qem", &prodCost, &product, true}, std::tuple{"custship.qem", &shipCost, &customer, false}}) {
        forEachLine((data / file).string(), [&](const std::string& line) {
            const std::string code = trimmed(line.substr(0, 12));
            const int scenario = trimmed(line.substr(12, 12)) == "Budget", month = monthOf(line.substr(24, 6));
            const long double cost = std::stold(line.substr(30, 10));
            (*costs)[key(code, scenario, month)] = cost;
            for (Asked* at : costQueries) {
                Asked& q = *at;
                const std::string measure = isProduct ? "StdProdCost" : "StdShipCost";
                const int s = q.scenario == "Budget" ? 1 : 0;
                const auto [first, last] = held(q, s);
                if (q.measure != measure || (q.scenario != "Actual" && q.scenario != "Budget") || s != scenario ||
                    month < first || month > last || !in(*tree, isProduct ? q.product : q.customer, code))
                    continue;
                ++q.costRows;
                q.costSum += cost;
            }
        });
    }
    // The queries by the product they name ("" for none), so that a line is
    // looked at only with the queries of its product and its ancestors.
    std::map<std::string, std::vector<Asked*>> byProduct;
    for (Asked& q : asked) byProduct[q.product].push_back(&q);
    const auto ofProduct = [&](const std::string& p, const auto& each) {
        for (const std::string& member : product.upFrom(p))
            if (const auto it = byProduct.find(member); it != byProduct.end())
                for (Asked* q : it->second) each(*q);
        for (Asked* q : byProduct[""]) each(*q);
    };
    // The sales rows: Actual (histsale, currsale) and Budget.
    const auto sale = [&](int s, const std::string& c, const std::string& p, const std::string& ch, int month,
                          long double units, long double dollars) {
        ofProduct(p, [&](Asked& q) {
            if (!in(customer, q.customer, c) || (!q.channel.empty() && q.channel != ch)) return;
            const int scenario = q.kind == 10 ? (q.scenario == "Budget" ? 1 : q.scenario == "Actual" ? 0 : -1) : 0;
            const auto [first, last] = held(q, s);
            if ((s == scenario || (q.kind == 7 && s == 1)) && month >= first && month <= last) {
                ++q.rows[s];
                q.units[s] += units;
                q.dollars[s] += dollars;
                q.cost[s] += units * (prodCost[key(p, s, month)] + shipCost[key(c, s, month)]);
            }
            // The three months that end with the cell's last one.
            const int scenarioLast = held(q, scenario < 0 ? 0 : scenario).second;
            if (q.measure == "SmoothedSales" && s == scenario && scenarioLast >= 0 && month <= scenarioLast &&
                month >= scenarioLast - 2) {
                ++q.windowRows;
                q.windowDollars += dollars;
            }
        });
    };
    forEachLine((data / "histsale.qem").string(), [&](const std::string& l) {
        sale(0, trimmed(l.substr(0, 12)), trimmed(l.substr(12, 12)), trimmed(l.substr(24, 12)), monthOf(l.substr(36, 6)),
             std::stold(l.substr(42, 10)), std::stold(l.substr(52, 10)));
    });
    forEachLine((data / "currsale.qem").string(), [&](const std::string& l) {
        sale(0, trimmed(l.substr(0, 12)), trimmed(l.substr(12, 12)), trimmed(l.substr(24, 12)), 17,
             std::stold(l.substr(36, 10)), std::stold(l.substr(46, 10)));
    });
    forEachLine((data / "budget.qem").string(), [&](const std::string& l) {
        sale(1, trimmed(l.substr(0, 12)), trimmed(l.substr(12, 12)), "", monthOf(l.substr(24, 6)),
             std::stold(l.substr(30, 10)), std::stold(l.substr(40, 10)));
    });
    // The inventory of the cell's last Actual month.
    const auto stock = [&](const std::string& c, const std::string& p, int month, long double value) {
        ofProduct(p, [&](Asked& q) {
            const bool asks = q.kind == 10 ? q.measure == "Inventory" && q.scenario == "Actual"
                                           : q.kind != 1 && q.kind != 7;
            if (asks && held(q, 0).second == month && in(customer, q.customer, c)) {
                ++q.invRows;
                q.inventory += value;
            }
        });
    };
    forEachLine((data / "histinv.qem").string(), [&](const std::string& l) {
        for (int m = 0; m < 17; ++m) stock(trimmed(l.substr(0, 12)), trimmed(l.substr(12, 12)), m, std::stold(l.substr(24 + 10 * m, 10)));
    });
    forEachLine((data / "currinv.qem").string(), [&](const std::string& l) {
        stock(trimmed(l.substr(0, 12)), trimmed(l.substr(12, 12)), 17, std::stold(l.substr(24, 10)));
    });

    // What each query's answer must be: its values, NULL where none.
    std::map<int, std::vector<std::optional<long double>>> expected;
    for (const Asked& q : asked) {
        const auto sum = [](long double rows, long double v) { return rows > 0 ? std::optional(v) : std::nullopt; };
        std::vector<std::optional<long double>> v;
        if (q.kind == 7) {
            v = {sum(q.rows[1], q.units[1]), sum(q.rows[1], q.dollars[1]), sum(q.rows[0], q.units[0]), sum(q.rows[0], q.dollars[0])};
        } else if (q.kind != 10) {
            v = {sum(q.rows[0], q.units[0]), sum(q.rows[0], q.dollars[0])};
            if (q.kind != 1) v.push_back(sum(q.invRows, q.inventory));
        } else {
            const int s = q.scenario == "Budget" ? 1 : 0;
            const bool none = (q.scenario != "Actual" && q.scenario != "Budget") || (s == 1 && q.measure == "Inventory");
            const long double rows = q.rows[s], dollars = q.dollars[s], margin = dollars - q.cost[s];
            const auto [first, last] = held(q, s);
            const int window = last < 0 ? 0 : last - std::max(last - 2, s == 0 ? 0 : 12) + 1;
            std::optional<long double> value;
            if (q.measure == "DollarSales") value = sum(rows, dollars);
            if (q.measure == "Units") value = sum(rows, q.units[s]);
            if (q.measure == "DollarCost") value = sum(rows, q.cost[s]);
            if (q.measure == "Margin") value = sum(rows, margin);
            if (q.measure == "MarginPct" && rows > 0 && dollars != 0) value = 100 * margin / dollars;
            if (q.measure == "AvgSellingPrice" && rows > 0) value = dollars / q.units[s];
            if (q.measure == "StdProdCost" || q.measure == "StdShipCost") value = sum(q.costRows, q.costSum / q.costRows);
            if (q.measure == "SmoothedSales" && q.windowRows > 0) value = q.windowDollars / window;
            if (q.measure == "Inventory") value = sum(q.invRows, q.inventory);
            v = {none ? std::nullopt : value};
        }
        expected[q.position] = v;
    }

    // qemquery's answers of user 1, compared to the printed decimals.
    int compared = 0, nulls = 0;
    forEachLine((dir / "answers.txt").string(), [&](const std::string& line) {
        int user = 0, position = 0, kind = 0;
        if (sscanf(line.c_str(), "user %d position %d kind %d:", &user, &position, &kind) != 3 || user != 1 ||
            !expected.count(position))
            return;
        std::istringstream values(line.substr(line.find(": ") + 2));
        const auto& want = expected[position];
        size_t i = 0;
        for (std::string value; values >> value; ++i) {
            SCOPED_TRACE(line);
            ASSERT_LT(i, want.size());
            if (!want[i]) {
                EXPECT_EQ(value, "NULL");
                ++nulls;
                continue;
            }
            ASSERT_NE(value, "NULL");
            const size_t point = value.find('.');
            const int decimals = point == std::string::npos ? 0 : static_cast<int>(value.size() - point - 1);
            EXPECT_LE(std::fabs(static_cast<double>(std::stold(value) - *want[i])), 0.5 * std::pow(10.0, -decimals) + 1e-9)
                << "value " << i;
        }
        EXPECT_EQ(i, want.size()) << line;
        ++compared;
    });
    EXPECT_EQ(compared, 400);
    EXPECT_GT(nulls, 0);  // the empty cells, at least
}

// A query that names a dimension's top takes that dimension whole, as one
// that names none of it (the SQL reads it so too): lines of user 1
// rewritten to ask the same cell both ways.
TEST_F(Answers, OfADimensionsTopAreThoseOfTheWholeDimension) {
    const fs::path data = dir / "data";
    fs::create_directory(data);
    for (const std::string& input : {validAnswers, std::string(), std::string()}) ASSERT_EQ(run(input, data).status, 0);
    for (const char* phase : {"1", "2", "3"}) fs::remove(data / (std::string("phase") + phase + ".manifest"));
    const auto top = [&](const char* tree) {
        for (const auto& [code, level] : readTree(data / tree, 12, 12).level)
            if (level == "Top") return code;
        return std::string();
    };
    const auto queryLine = [](int kind, const std::vector<std::string>& fields) {
        const std::string k = std::to_string(kind);
        std::string line = std::string(24 - k.size(), ' ') + k;
        for (size_t i = 0; i < 6; ++i) {
            const std::string f = i < fields.size() ? fields[i] : "";
            line += f + std::string(24 - f.size(), ' ');
        }
        return line;
    };
    std::vector<std::string> lines;
    std::string retailer;
    forEachLine((data / "qry001.qem").string(), [&](const std::string& line) {
        lines.push_back(line);
        if (retailer.empty() && std::stoi(line.substr(0, 24)) == 3) retailer = trimmed(line.substr(48, 24));
    });
    ASSERT_FALSE(retailer.empty());
    const std::string product = top("prodtree.qem"), customer = top("custtree.qem"), channel = top("chantree.qem");
    lines[0] = queryLine(5, {retailer});
    lines[1] = queryLine(3, {product, retailer});
    lines[2] = queryLine(10, {"Product", "Customer", "Channel", "1995Q4", "Actual", "DollarCost"});
    lines[3] = queryLine(10, {product, customer, channel, "1995Q4", "Actual", "DollarCost"});
    {
        std::ofstream out(data / "qry001.qem", std::ios::binary | std::ios::trunc);
        for (const std::string& line : lines) out << line << "\n";
    }
    const Outcome answered = qemquery({"answers", data.string()});
    ASSERT_EQ(answered.status, 0) << answered.err;
    std::vector<std::string> values;
    std::istringstream in(answered.out);
    for (std::string line; std::getline(in, line) && values.size() < 4;)
        if (line.starts_with("user 1 ")) values.push_back(line.substr(line.find(": ") + 2));
    ASSERT_EQ(values.size(), 4u);
    EXPECT_NE(values[0], "NULL NULL NULL");
    EXPECT_EQ(values[1], values[0]);
    EXPECT_NE(values[2], "NULL");
    EXPECT_EQ(values[3], values[2]);
}

// The answers of a data set in parts, in three shares added, are the
// answers of the whole: every byte, the digest with them.
TEST_F(Answers, OfSharesAddedAreThoseOfTheWhole) {
    const fs::path parts = dir / "parts";
    fs::create_directory(parts);
    for (const char* phase : {"1", "2", "3"})
        for (const char* part : {"1", "2", "3"}) {
            ChildSetup setup;
            setup.program = QEMPART_PATH;
            setup.arguments = {"--channels", "10", "--density", "0.1", "--users", "10", "--seed", "7", "--phase", phase,
                               "--parts", "3", "--part", part, "--out", parts.string()};
            ASSERT_EQ(run("", dir, setup).status, 0);
        }
    ASSERT_EQ(qemquery({"answers", "--out", (dir / "whole.txt").string(), parts.string()}).status, 0);
    std::vector<std::string> shares;
    for (const char* k : {"1", "2", "3"}) {
        shares.push_back((dir / (std::string("share") + k)).string());
        const Outcome o = qemquery({"answers", "--share", std::string(k) + "/3", "--out", shares.back(), parts.string()});
        ASSERT_EQ(o.status, 0) << o.err;
    }
    std::vector<std::string> add = {"answers", "--add", "--out", (dir / "added.txt").string()};
    add.insert(add.end(), shares.rbegin(), shares.rend());
    const Outcome added = qemquery(add);
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(readFile(dir / "added.txt"), readFile(dir / "whole.txt"));
    // A share missing, or given twice: refused.
    for (const std::vector<std::string>& wrong : {std::vector<std::string>{shares[0], shares[1]},
                                                  std::vector<std::string>{shares[0], shares[0], shares[2]}}) {
        std::vector<std::string> args = {"answers", "--add"};
        args.insert(args.end(), wrong.begin(), wrong.end());
        const Outcome o = qemquery(args);
        EXPECT_EQ(o.status, 1);
        EXPECT_TRUE(o.err.starts_with("qemquery: ")) << o.err;
    }
    EXPECT_EQ(qemquery({"answers", "--share", "4/4", parts.string()}).status, 1);  // 3 parts: at most 3 shares
}

}  // namespace
}  // namespace qemtest
