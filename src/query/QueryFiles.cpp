#include "query/QueryFiles.h"

#include <string_view>

#include "dataset/DataSetError.h"
#include "dataset/Lines.h"
#include "dataset/TableLines.h"

namespace qemquery {

namespace {

// The rows of a query line as the line parser hands them over: user,
// position and kind, then the codes of product, customer, channel and time
// (or NULL for a field the kind leaves empty or open), scenario and measure.
class QueryRow {
public:
    void begin(int) { field = 0; }
    void int32(int32_t v) { put(std::to_string(v)); }
    void int16(int16_t v) { put(std::to_string(v)); }
    void text(std::string_view s) { put(std::string(s)); }
    void member(const qemdata::MemberRef& m) { put(std::string(m.code)); }
    void null() { put(""); }
    void ordinal(uint32_t, uint32_t) {}
    void decimal(int64_t, int) {}

    std::string values[9];

private:
    void put(std::string v) {
        if (field < 9) values[field] = std::move(v);
        ++field;
    }
    int field = 0;
};

template <typename E>
E named(std::string_view text, const char* (*nameOf)(E), int count) {
    for (int i = 0; i < count; ++i)
        if (text == nameOf(static_cast<E>(i))) return static_cast<E>(i);
    return static_cast<E>(0);  // the line parser has checked the name
}

// The first and last month beneath a time member.
Months monthsOf(const qemdata::Dimension& time, int32_t position) {
    Months m{24, -1};
    for (size_t i = 0; i < time.members.size(); ++i) {
        if (time.members[i].level != 0) continue;
        bool beneath = static_cast<int32_t>(i) == position;
        for (size_t c = 0; !beneath && c < time.layout.levelColumnCount(); ++c)
            beneath = time.ancestor(static_cast<int32_t>(i), c) == position;
        const int32_t month = monthOf(time.members[i].code);
        if (beneath && month >= 0) m = {std::min(m.first, month), std::max(m.last, month)};
    }
    return m;
}

}  // namespace

std::vector<Query> readQueries(qemdata::DataSet& data, int32_t onlyUser) {
    const qemdata::TableFiles* files = nullptr;
    for (const qemdata::TableFiles& t : data.tables)
        if (t.def->id == qemdata::TableId::query) files = &t;
    const qemdata::Dimensions& dims = data.dims;
    // The months of every time member, found once.
    std::vector<Months> timeMonths;
    for (size_t i = 0; i < dims[qemdata::timeDimension].members.size(); ++i)
        timeMonths.push_back(monthsOf(dims[qemdata::timeDimension], static_cast<int32_t>(i)));
    std::vector<Query> queries;
    const auto parse = qemdata::lineParser<QueryRow>(*files->def);
    for (const qemdata::Source& src : files->sources) {
        if (onlyUser > 0 && src.user != onlyUser) continue;
        const qemdata::LineContext ctx{&dims, src.user};
        // A query file is a few MB at most: read whole, its bytes checked
        // against its manifests, then its lines.
        const qemdata::BytesRead seen = [&](const qemdata::DataFile& file, uint64_t at, const char* text, size_t n) {
            data.content->add(file, at, text, n);
        };
        qemdata::lines::forEachInFile(*src.file, files->def->lineLength, [&](const char* line, uint64_t number) {
            QueryRow row;
            parse(ctx, line, number, row);
            Query q;
            q.user = src.user;
            q.position = static_cast<int64_t>(number);
            q.kind = std::stoi(row.values[2]);
            const int dimsOf[] = {qemdata::productDimension, qemdata::customerDimension, qemdata::channelDimension,
                                  qemdata::timeDimension};
            for (int d = 0; d < 4; ++d) {
                const std::string& code = row.values[3 + d];
                if (code.empty()) continue;
                const qemdata::Dimension& dim = dims[dimsOf[d]];
                int32_t level = 0;
                const int32_t position = dim.find(code, level);
                // The dimension's top (above every level column) holds all
                // its leaves: a query that names it restricts nothing there,
                // as one that names no member of it.
                if (static_cast<size_t>(level) > dim.layout.levelColumnCount()) continue;
                q.member[d].position = position;
                q.member[d].level = level;
            }
            if (q.member[timeDim].named()) q.time = timeMonths[static_cast<size_t>(q.member[timeDim].position)];
            if (q.kind == 10) {
                q.scenario = named<Scenario>(row.values[7], scenarioName, 4);
                q.measure = named<Measure>(row.values[8], measureName, 10);
            }
            queries.push_back(std::move(q));
        }, seen, qemdata::compressedCheck(*data.content));
    }
    return queries;
}

void finishQueryFiles(qemdata::DataSet& data, int32_t user) {
    data.content->finish([&](const qemdata::DataFile& f, const qemdata::ExpectedPart&) {
        const int32_t of = qem::queryFileUser(f.name());
        return (of > 0 && (user == 0 || of == user)) || data.dimensionFiles.count(f.name()) > 0;
    });
}

DataSetIdentity identityOf(const qemdata::DataSet& data) {
    DataSetIdentity id;
    id.channels = data.size.channels;
    id.densityCode = data.size.densityCode;
    id.users = data.size.users;
    if (!data.manifests().empty()) id.seed = data.manifests().settings().seed;
    return id;
}

}  // namespace qemquery
