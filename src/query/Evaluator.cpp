#include "query/Evaluator.h"

#include <algorithm>
#include <set>
#include <string>
#include <string_view>

#include "dataset/DataSetError.h"
#include "dataset/Lines.h"
#include "dataset/Pieces.h"
#include "dataset/TableLines.h"

namespace qemquery {

namespace {

using qemdata::DataFile;
using qemdata::Dimension;
using qemdata::TableId;

// Text read at a time: large enough that handing a piece over costs nothing,
// small enough that the jobs share a file evenly.
constexpr uint64_t pieceBytes = 2u << 20;

// The month of every line of currsale.qem and currinv.qem.
const int32_t currentMonth = monthOf(qemdata::table_lines::currentMonth);

// Where a row goes in a query's sums.
enum class Target : uint8_t { actualSales, budgetSales, actualWindow, budgetWindow, inventory, stdCost };

// One query's interest in the rows of one table: the customer member it
// names (-1: any), at which level, the channel (-1: any), the months, where
// the row goes, whether its cost is wanted too, and (standard costs) the
// scenario.
struct Entry {
    uint32_t query;
    int32_t customer;
    int32_t channel;
    int8_t customerLevel;  // -1 any, 0 a store, 1 a retailer
    int8_t first, last;    // months
    Target target;
    bool cost;
    int8_t scenario;
    bool holds(int32_t month) const { return month >= first && month <= last; }
};

// A table's entries by the product member they name (or none: every
// product), each product's sorted by customer: those of any customer first,
// then those of a store by its position, then those of a retailer.
class Index {
public:
    Index(const Dimension& product)
        : product(product), open(static_cast<int32_t>(product.members.size())),
          columns(static_cast<int>(product.layout.levelColumnCount())) {}

    void add(int32_t productMember, const Entry& e) {
        pending.emplace_back(productMember < 0 ? open : productMember, e);
        levels |= productMember < 0 ? openBit : 1u << product.members[static_cast<size_t>(productMember)].level;
    }

    void build() {
        std::sort(pending.begin(), pending.end(), [](const auto& a, const auto& b) {
            if (a.first != b.first) return a.first < b.first;
            if (a.second.customerLevel != b.second.customerLevel) return a.second.customerLevel < b.second.customerLevel;
            return a.second.customer < b.second.customer;
        });
        start.assign(static_cast<size_t>(open) + 2, 0);
        stores.assign(static_cast<size_t>(open) + 1, 0);
        retailers.assign(static_cast<size_t>(open) + 1, 0);
        for (const auto& [key, e] : pending) ++start[static_cast<size_t>(key) + 1];
        for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
        for (const auto& [key, e] : pending) {
            entries.push_back(e);
            customers.push_back(e.customer);
        }
        int32_t customerCount = 0;
        for (const Entry& e : entries) customerCount = std::max(customerCount, e.customer + 1);
        words = (static_cast<size_t>(customerCount) + 63) / 64;
        bitsAt.assign(start.size(), noBits);
        for (size_t b = 0; b + 1 < start.size(); ++b) {
            uint32_t at = start[b];
            while (at < start[b + 1] && entries[at].customerLevel < 0) ++at;
            stores[b] = at;
            while (at < start[b + 1] && entries[at].customerLevel == 0) ++at;
            retailers[b] = at;
            // A bucket of many entries gets the set of its customers, so that
            // a line whose customer it does not name costs one look.
            if (start[b + 1] - stores[b] <= 8) continue;
            bitsAt[b] = static_cast<uint32_t>(bits.size());
            bits.resize(bits.size() + words, 0);
            for (uint32_t i = stores[b]; i < start[b + 1]; ++i)
                bits[bitsAt[b] + static_cast<size_t>(entries[i].customer) / 64] |= 1ull << (entries[i].customer % 64);
        }
        pending.clear();
        pending.shrink_to_fit();
    }

    bool empty() const { return entries.empty(); }

    // Calls f with every entry whose product member is one of the line's
    // product leaf `p` ancestors (by `ancestors`, the leaf's row of
    // Dimension::ancestors: level 1 and up at 0 and up) and whose customer
    // member is the store `c` or its retailer `r`.
    template <typename F>
    void match(int32_t p, const int32_t* ancestors, int32_t c, int32_t r, F&& f) const {
        if (levels & 1u) bucket(p, c, r, f);
        for (int level = 1; level <= columns; ++level)
            if ((levels >> level) & 1u && ancestors[level - 1] >= 0) bucket(ancestors[level - 1], c, r, f);
        if (levels & openBit) bucket(open, c, r, f);
    }

private:
    static constexpr uint32_t openBit = 1u << 16;

    template <typename F>
    void bucket(int32_t key, int32_t c, int32_t r, F& f) const {
        const size_t b = static_cast<size_t>(key);
        const uint32_t begin = start[b], end = start[b + 1];
        if (begin == end) return;
        for (uint32_t i = begin; i < stores[b]; ++i) f(entries[i]);
        if (bitsAt[b] != noBits) {
            const uint64_t* set = bits.data() + bitsAt[b];
            const auto named = [&](int32_t k) {
                return k >= 0 && static_cast<size_t>(k) / 64 < words &&
                       (set[static_cast<size_t>(k) / 64] >> (k % 64) & 1u);
            };
            if (named(c)) each(stores[b], retailers[b], c, f);
            if (named(r)) each(retailers[b], end, r, f);
            return;
        }
        each(stores[b], retailers[b], c, f);
        each(retailers[b], end, r, f);
    }

    // The entries of [begin, end) (sorted by customer) of one customer. A
    // line's customer is mostly in no entry: a search without branches that
    // depend on the keys, over the keys alone.
    template <typename F>
    void each(uint32_t begin, uint32_t end, int32_t customer, F& f) const {
        if (begin == end || customer < 0) return;
        const int32_t* base = customers.data() + begin;
        size_t n = end - begin;
        while (n > 1) {
            const size_t half = n / 2;
            base = base[half - 1] < customer ? base + half : base;
            n -= half;
        }
        if (*base < customer) ++base;
        for (size_t i = static_cast<size_t>(base - customers.data()); i < end && customers[i] == customer; ++i)
            f(entries[i]);
    }

    const Dimension& product;
    const int32_t open;
    const int columns;  // the product dimension's level columns
    uint32_t levels = 0;
    std::vector<std::pair<int32_t, Entry>> pending;
    std::vector<uint32_t> start, stores, retailers;
    std::vector<Entry> entries;
    std::vector<int32_t> customers;  // of the entries, in their order
    static constexpr uint32_t noBits = UINT32_MAX;
    std::vector<uint32_t> bitsAt;    // by bucket: where its set of customers begins in `bits`, or noBits
    std::vector<uint64_t> bits;
    size_t words = 0;  // of each bucket's set
};

// The indexes of the tables: sales (Actual), budget, inventory, and the
// standard product and shipping costs. A query that names a product but
// no customer nor channel (kind 6), or a customer but no product nor channel
// (kind 5), covers a large share of the rows: its Actual sales and inventory
// are summed per product (customer) leaf and month first, and its answer
// from those at the end, rather than every line added to it.
struct Indexes {
    explicit Indexes(const Dimension& product) : sales(product), budget(product), inventory(product), prodcos(product), custship(product) {}
    Index sales, budget, inventory, prodcos, custship;
    bool costs = false;  // some query wants the cost of its sales rows
    struct ByLeaf {
        int32_t member;  // the product (customer) member the query names
        Entry entry;
    };
    std::vector<ByLeaf> byProduct, byCustomer;
};

Entry entryOf(uint32_t query, const Query& q, Target target, Months months, bool cost = false, int8_t scenario = 0) {
    Entry e{};
    e.query = query;
    e.customer = q.member[customerDim].position;
    e.customerLevel = static_cast<int8_t>(q.member[customerDim].named() ? q.member[customerDim].level : -1);
    e.channel = q.member[channelDim].position;
    e.first = static_cast<int8_t>(months.first);
    e.last = static_cast<int8_t>(months.last);
    e.target = target;
    e.cost = cost;
    e.scenario = scenario;
    return e;
}

// Each query's entries in the tables its answer is made of (reading 1).
void index(const std::vector<Query>& queries, Indexes& ix) {
    for (uint32_t i = 0; i < queries.size(); ++i) {
        const Query& q = queries[i];
        const int32_t product = q.member[productDim].position;
        const bool byProduct = !q.member[customerDim].named() && !q.member[channelDim].named() && product >= 0;
        const bool byCustomer = !q.member[productDim].named() && !q.member[channelDim].named() && q.member[customerDim].named();
        // Actual sales and inventory: by leaf where the query covers whole
        // customers (products), else through the index.
        const auto place = [&](Index& index, const Entry& e) {
            if (byProduct)
                ix.byProduct.push_back({product, e});
            else if (byCustomer)
                ix.byCustomer.push_back({q.member[customerDim].position, e});
            else
                index.add(product, e);
        };
        const auto sales = [&](Scenario s, bool cost) {
            const Months months = cellMonths(q, s);
            if (months.empty()) return;
            if (s == Scenario::actual && !cost)
                place(ix.sales, entryOf(i, q, Target::actualSales, months));
            else
                (s == Scenario::actual ? ix.sales : ix.budget)
                    .add(product, entryOf(i, q, s == Scenario::actual ? Target::actualSales : Target::budgetSales, months, cost));
            ix.costs = ix.costs || cost;
        };
        const auto closing = [&] {
            if (const auto month = closingMonth(q)) place(ix.inventory, entryOf(i, q, Target::inventory, {*month, *month}));
        };
        if (q.kind != 10) {
            sales(Scenario::actual, false);
            if (q.kind == 7) sales(Scenario::budget, false);
            if (q.kind != 1 && q.kind != 7) closing();
            continue;
        }
        if (!noDataReason(q.scenario, q.measure).empty()) continue;
        const bool budget = q.scenario == Scenario::budget;
        switch (q.measure) {
            case Measure::dollarSales:
            case Measure::units:
            case Measure::avgSellingPrice: sales(q.scenario, false); break;
            case Measure::dollarCost:
            case Measure::margin:
            case Measure::marginPct: sales(q.scenario, true); break;
            case Measure::smoothedSales: {
                const Months window = smoothingWindow(q, q.scenario);
                if (!window.empty())
                    (budget ? ix.budget : ix.sales)
                        .add(product, entryOf(i, q, budget ? Target::budgetWindow : Target::actualWindow, window));
                break;
            }
            case Measure::inventory: closing(); break;
            case Measure::stdProdCost:
            case Measure::stdShipCost: {
                const Months months = cellMonths(q, q.scenario);
                if (months.empty()) break;
                Entry e = entryOf(i, q, Target::stdCost, months, false, budget ? 1 : 0);
                if (q.measure == Measure::stdProdCost) {
                    e.customer = -1;
                    e.customerLevel = -1;
                    ix.prodcos.add(product, e);
                } else {
                    ix.custship.add(-1, e);
                }
                break;
            }
        }
    }
    for (Index* i : {&ix.sales, &ix.budget, &ix.inventory, &ix.prodcos, &ix.custship}) i->build();
}

// A line's values as its table's parser hands them over.
struct Row {
    // The month of every time member by position (-1: a quarter or a year),
    // and the month of every line of a file whose lines name none (currsale
    // and currinv: 199606; -1 for the others).
    const int32_t* timeMonths = nullptr;
    int32_t fileMonth = -1;
    int32_t product = -1, customer = -1, channel = -1, month = -1;
    int32_t ints[17];
    int intCount = 0;
    int64_t scaled = 0;
    int scenario = 0;

    void reset() {
        product = customer = channel = -1;
        month = fileMonth;
        intCount = 0;
    }
    void begin(int) {}
    void member(const qemdata::MemberRef& m) {
        switch (m.dimension) {
            case qemdata::productDimension: product = m.position; break;
            case qemdata::customerDimension: customer = m.position; break;
            case qemdata::channelDimension: channel = m.position; break;
            default: month = m.position >= 0 ? timeMonths[m.position] : -1; break;
        }
    }
    // The month of currsale and currinv is the file's (fileMonth); histinv's
    // months are the order of its values; a cost line's scenario comes as
    // its ordinal.
    void text(std::string_view) {}
    void int32(int32_t v) {
        if (intCount < 17) ints[intCount++] = v;
    }
    void int16(int16_t) {}
    void decimal(int64_t v, int) { scaled = v; }
    void ordinal(uint32_t rank, uint32_t) { scenario = static_cast<int>(rank); }
    void null() {}
};

// The Actual sales and inventory of each leaf of one dimension by month
// (0 to 17), summed over the other dimensions, for the queries that cover
// them whole.
struct LeafMonths {
    struct Cell {
        int64_t rows = 0, units = 0, cents = 0, inventoryRows = 0, inventory = 0;
    };
    std::vector<Cell> cells;
    void size(size_t leaves) { cells.assign(leaves * 18, Cell{}); }
    Cell* at(int32_t leaf, int32_t month) {
        const size_t i = static_cast<size_t>(leaf) * 18 + static_cast<size_t>(month);
        return leaf >= 0 && month >= 0 && month < 18 && i < cells.size() ? &cells[i] : nullptr;
    }
    LeafMonths& operator+=(const LeafMonths& o) {
        for (size_t i = 0; i < cells.size() && i < o.cells.size(); ++i) {
            cells[i].rows += o.cells[i].rows;
            cells[i].units += o.cells[i].units;
            cells[i].cents += o.cells[i].cents;
            cells[i].inventoryRows += o.cells[i].inventoryRows;
            cells[i].inventory += o.cells[i].inventory;
        }
        return *this;
    }
};

// The standard costs of every product and customer leaf by scenario and
// month, in thousandths of a dollar: the cost of a sales row.
class CostTable {
public:
    void size(size_t products, size_t customers) {
        prod.assign(products * slots, 0);
        ship.assign(customers * slots, 0);
    }
    void setProduct(int32_t p, int scenario, int32_t month, int64_t millis) { set(prod, p, scenario, month, millis); }
    void setShipping(int32_t c, int scenario, int32_t month, int64_t millis) { set(ship, c, scenario, month, millis); }
    // Units times the row's product and shipping cost.
    int64_t of(int32_t p, int32_t c, int scenario, int32_t month, int64_t units) const {
        return units * (get(prod, p, scenario, month) + get(ship, c, scenario, month));
    }

private:
    // Actual's 18 months, then Budget's 12.
    static constexpr size_t slots = 30;
    static size_t slot(int scenario, int32_t month) { return scenario == 0 ? static_cast<size_t>(month) : static_cast<size_t>(18 + month - 12); }
    static bool valid(int scenario, int32_t month) { return scenario == 0 ? month >= 0 && month <= 17 : month >= 12 && month <= 23; }
    void set(std::vector<int32_t>& t, int32_t at, int scenario, int32_t month, int64_t millis) {
        if (at >= 0 && valid(scenario, month) && static_cast<size_t>(at) * slots < t.size())
            t[static_cast<size_t>(at) * slots + slot(scenario, month)] = static_cast<int32_t>(millis);
    }
    int64_t get(const std::vector<int32_t>& t, int32_t at, int scenario, int32_t month) const {
        if (at < 0 || !valid(scenario, month) || static_cast<size_t>(at) * slots >= t.size()) return 0;
        return t[static_cast<size_t>(at) * slots + slot(scenario, month)];
    }
    std::vector<int32_t> prod, ship;
};

class Evaluation {
public:
    Evaluation(qemdata::DataSet& d, const std::vector<Query>& q, Share s, int j, std::atomic<uint64_t>& read)
        : data(d), queries(q), share(s), jobs(j), bytesRead(read), ix(d.dims[qemdata::productDimension]),
          productDim(d.dims[qemdata::productDimension]), customerDim(d.dims[qemdata::customerDimension]) {}

    std::vector<Sums> run() {
        index(queries, ix);
        const Dimension& product = data.dims[qemdata::productDimension];
        const Dimension& customer = data.dims[qemdata::customerDimension];
        const Dimension& time = data.dims[qemdata::timeDimension];
        // The month of every time member, once.
        timeMonths.assign(time.members.size(), -1);
        for (size_t m = 0; m < time.members.size(); ++m) timeMonths[m] = monthOf(time.members[m].code);
        for (const qemdata::TableFiles& t : data.tables)
            if (isFact(t.def->id))
                for (const qemdata::Source& src : t.sources) factFiles.insert(src.file->name());
        costs.size(product.members.size(), customer.members.size());
        sums.assign(static_cast<size_t>(jobs), std::vector<Sums>(queries.size()));
        byProduct.assign(static_cast<size_t>(jobs), LeafMonths{});
        byCustomer.assign(static_cast<size_t>(jobs), LeafMonths{});
        for (LeafMonths& l : byProduct)
            if (!ix.byProduct.empty()) l.size(product.members.size());
        for (LeafMonths& l : byCustomer)
            if (!ix.byCustomer.empty()) l.size(customer.members.size());
        leafSums = !ix.byProduct.empty() || !ix.byCustomer.empty();
        // The costs first: a sales row's cost needs them.
        read({TableId::prodcos, TableId::custship});
        read({TableId::histsale, TableId::currsale, TableId::budget, TableId::histinv, TableId::currinv});
        // Every part read whole matched its manifest; with one share, every part was read.
        data.content->finish([&](const DataFile& file, const qemdata::ExpectedPart& part) {
            return share.of == 1 || factFiles.count(file.name()) == 0 || inShare(file, part);
        });
        std::vector<Sums> total(queries.size());
        for (const auto& job : sums)
            for (size_t i = 0; i < total.size(); ++i) total[i] += job[i];
        for (size_t j = 1; j < byProduct.size(); ++j) {
            byProduct[0] += byProduct[j];
            byCustomer[0] += byCustomer[j];
        }
        fromLeaves(product, ix.byProduct, byProduct[0], total);
        fromLeaves(customer, ix.byCustomer, byCustomer[0], total);
        return total;
    }

private:
    static bool isCost(TableId t) { return t == TableId::prodcos || t == TableId::custship; }
    // The tables a share reads only in part.
    static bool isFact(TableId t) {
        return t == TableId::histsale || t == TableId::currsale || t == TableId::budget || t == TableId::histinv ||
               t == TableId::currinv;
    }

    // The share's parts of a file (all of them for a cost file when `whole`).
    std::pair<uint64_t, uint64_t> range(const DataFile& file) const {
        const qemdata::ExpectedFile* e = data.manifests().find(file.name());
        if (share.of == 1 || !e) return {0, file.size()};
        const size_t parts = e->parts.size();
        const size_t first = (static_cast<size_t>(share.k) - 1) * parts / static_cast<size_t>(share.of);
        const size_t last = static_cast<size_t>(share.k) * parts / static_cast<size_t>(share.of);
        if (first == last) return {0, 0};
        return {e->parts[first].offset, e->parts[last - 1].offset + static_cast<uint64_t>(e->parts[last - 1].bytes)};
    }
    bool inShare(const DataFile& file, const qemdata::ExpectedPart& part) const {
        const auto [begin, end] = range(file);
        return part.offset >= begin && part.offset + static_cast<uint64_t>(part.bytes) <= end && begin < end;
    }

    void read(const std::vector<TableId>& tables) {
        qemdata::PieceScheduler scheduler;
        std::vector<const qemdata::TableFiles*> sources;
        for (const qemdata::TableFiles& t : data.tables) {
            if (std::find(tables.begin(), tables.end(), t.def->id) == tables.end()) continue;
            const qemdata::Source& src = t.sources.front();
            const uint64_t stride = src.stride(*t.def), step = qemdata::lineStep(pieceBytes, stride);
            // Cost files are read whole (their rows give every sales row's
            // cost); only the share's rows count as rows of a query.
            const auto [begin, end] = isCost(t.def->id) ? std::pair<uint64_t, uint64_t>{0, src.file->size()}
                                                        : range(*src.file);
            for (qemdata::PieceTask task : qemdata::planPieces(*src.file, sources.size(), 0, step, stride)) {
                task.begin = std::max(task.begin, begin);
                task.end = std::min(task.end, end);
                if (task.begin > task.end || (task.begin == task.end && src.file->size() > 0)) continue;
                scheduler.add(task);
            }
            sources.push_back(&t);
        }
        std::vector<std::vector<char>> buffers(static_cast<size_t>(jobs));
        qemdata::runJobs(scheduler, jobs, [&](int job, const qemdata::PieceTask& task) {
            const qemdata::TableFiles& t = *sources[task.table];
            const qemdata::Source& src = t.sources.front();
            const uint64_t step = qemdata::lineStep(pieceBytes, src.stride(*t.def));
            const auto [begin, end] = range(*src.file);
            const TableId table = t.def->id;
            const bool cost = isCost(table);
            const qemdata::LineParser<Row> parse = qemdata::lineParser<Row>(*t.def);
            const qemdata::LineContext ctx{&data.dims, 0};
            DataFile::Reader reader(*src.file, task.begin, qemdata::compressedCheck(*data.content));
            Row row;
            row.timeMonths = timeMonths.data();
            if (table == TableId::currsale || table == TableId::currinv) row.fileMonth = currentMonth;
            qemdata::readPieces(reader, task, step, buffers[static_cast<size_t>(job)], [&](uint64_t at, const char* text, size_t n) {
                data.content->add(*src.file, at, text, n);
                const bool counted = at >= begin && at < end;
                qemdata::lines::forEach(*src.file, text, n, at, t.def->lineLength, src.lineEnd,
                                        [&](const char* line, uint64_t number) {
                                            row.reset();
                                            parse(ctx, line, number, row);
                                            if (counted || cost) add(table, row, counted, static_cast<size_t>(job));
                                        });
                bytesRead.fetch_add(n, std::memory_order_relaxed);
            });
        });
        if (scheduler.failed())
            throw qemdata::DataSetError(qemdata::failureOf(
                scheduler, false,
                [&](const qemdata::PieceTask& task) {
                    return std::pair{&sources[task.table]->sources.front(), sources[task.table]->def};
                },
                *data.content));
    }

    // A line's rows into the sums of every query cell they fall in.
    void add(TableId table, const Row& row, bool counted, size_t job) {
        std::vector<Sums>& own = sums[job];
        const int32_t p = row.product, c = row.customer, r = c >= 0 ? customerDim.ancestor(c, 0) : -1;
        const int32_t* a =
            p >= 0 ? &productDim.ancestors[static_cast<size_t>(p) * productDim.layout.levelColumnCount()] : nullptr;
        switch (table) {
            case TableId::prodcos:
                costs.setProduct(p, row.scenario, row.month, row.scaled);
                if (counted) ix.prodcos.match(p, a, -1, -1, [&](const Entry& e) { standardCost(e, row, own); });
                break;
            case TableId::custship:
                costs.setShipping(c, row.scenario, row.month, row.scaled);
                if (counted) ix.custship.match(-1, nullptr, c, r, [&](const Entry& e) { standardCost(e, row, own); });
                break;
            case TableId::histsale:
            case TableId::currsale:
            case TableId::budget: {
                const bool actual = table != TableId::budget;
                const int64_t units = row.ints[0], cents = row.scaled;
                if (actual && leafSums)
                    for (LeafMonths::Cell* cell : {byProduct[job].at(p, row.month), byCustomer[job].at(c, row.month)})
                        if (cell) {
                            ++cell->rows;
                            cell->units += units;
                            cell->cents += cents;
                        }
                int64_t cost = -1;  // taken once, when a query wants it
                (actual ? ix.sales : ix.budget).match(p, a, c, r, [&](const Entry& e) {
                    if ((e.channel >= 0 && e.channel != row.channel) || !e.holds(row.month)) return;
                    Sums& s = own[e.query];
                    if (e.target == Target::actualWindow || e.target == Target::budgetWindow) {
                        ++s.windowRows;
                        s.windowCents += cents;
                        return;
                    }
                    Sums::Sales& to = s.sales[actual ? 0 : 1];
                    ++to.rows;
                    to.units += units;
                    to.cents += cents;
                    if (e.cost) {
                        if (cost < 0) cost = costs.of(p, c, actual ? 0 : 1, row.month, units);
                        to.costMillis += cost;
                    }
                });
                break;
            }
            case TableId::histinv:
            case TableId::currinv:
                for (int k = 0; leafSums && k < row.intCount; ++k) {
                    const int32_t month = table == TableId::histinv ? k : 17;
                    for (LeafMonths::Cell* cell : {byProduct[job].at(p, month), byCustomer[job].at(c, month)})
                        if (cell) {
                            ++cell->inventoryRows;
                            cell->inventory += row.ints[k];
                        }
                }
                ix.inventory.match(p, a, c, r, [&](const Entry& e) {
                    // histinv's values are months 0 to 16 in order; currinv's is month 17.
                    const int32_t at = table == TableId::histinv ? e.first : e.first - 17;
                    if (at < 0 || at >= row.intCount) return;
                    Sums& s = own[e.query];
                    ++s.inventoryRows;
                    s.inventory += row.ints[at];
                });
                break;
            case TableId::query: break;
        }
    }

    // The sums of the queries that cover whole customers (products) of
    // their product's (customer's) leaves, from the leaves' sums by month.
    static void fromLeaves(const Dimension& dim, const std::vector<Indexes::ByLeaf>& entries, LeafMonths& leaves,
                           std::vector<Sums>& total) {
        if (entries.empty()) return;
        // The queries of each member, and every leaf under each of them.
        std::vector<std::vector<const Indexes::ByLeaf*>> ofMember(dim.members.size());
        for (const Indexes::ByLeaf& e : entries) ofMember[static_cast<size_t>(e.member)].push_back(&e);
        for (size_t leaf = 0; leaf < dim.members.size(); ++leaf) {
            if (dim.members[leaf].level != 0) continue;
            const auto add = [&](int32_t member) {
                if (member < 0) return;
                for (const Indexes::ByLeaf* e : ofMember[static_cast<size_t>(member)]) {
                    Sums& s = total[e->entry.query];
                    for (int32_t m = e->entry.first; m <= e->entry.last; ++m) {
                        const LeafMonths::Cell* c = leaves.at(static_cast<int32_t>(leaf), m);
                        if (!c) continue;
                        if (e->entry.target == Target::inventory) {
                            s.inventoryRows += c->inventoryRows;
                            s.inventory += c->inventory;
                        } else {
                            s.sales[0].rows += c->rows;
                            s.sales[0].units += c->units;
                            s.sales[0].cents += c->cents;
                        }
                    }
                }
            };
            add(static_cast<int32_t>(leaf));
            for (size_t c = 0; c < dim.layout.levelColumnCount(); ++c) add(dim.ancestor(static_cast<int32_t>(leaf), c));
        }
    }

    static void standardCost(const Entry& e, const Row& row, std::vector<Sums>& own) {
        if (e.scenario != row.scenario || !e.holds(row.month)) return;
        Sums& s = own[e.query];
        ++s.costRows;
        s.costMillis += row.scaled;
    }

    qemdata::DataSet& data;
    const std::vector<Query>& queries;
    const Share share;
    const int jobs;
    std::atomic<uint64_t>& bytesRead;
    Indexes ix;
    const Dimension& productDim;
    const Dimension& customerDim;
    std::vector<int32_t> timeMonths;  // by time member: its month, or -1
    std::set<std::string> factFiles;  // the files of the tables a share reads in part
    bool leafSums = false;            // some query is summed by leaf (LeafMonths)
    CostTable costs;
    std::vector<std::vector<Sums>> sums;  // by job
    std::vector<LeafMonths> byProduct, byCustomer;  // by job
};

}  // namespace

std::vector<Sums> computeSums(qemdata::DataSet& data, const std::vector<Query>& queries, Share share, int jobs,
                              std::atomic<uint64_t>& bytesRead) {
    return Evaluation(data, queries, share, jobs, bytesRead).run();
}

}  // namespace qemquery
