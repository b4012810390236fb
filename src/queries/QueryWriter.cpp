#include "queries/QueryWriter.h"

#include "context/Context.h"
#include "core/Failure.h"
#include "core/FixedFormat.h"
#include "core/RandomGenerator.h"
#include "core/Report.h"
#include "queries/QueryPickers.h"

namespace qem {

namespace {

constexpr std::array<int32_t, 100> makeSchedule() {
    std::array<int32_t, 100> s{};
    const int32_t runs[10][2] = {{1, 10}, {2, 10}, {3, 15}, {4, 3}, {5, 5}, {6, 5}, {7, 15}, {8, 20}, {9, 15}, {10, 2}};
    size_t next = 0;
    for (const auto& run : runs)
        for (int32_t i = 0; i < run[1]; ++i) s[next++] = run[0];
    return s;
}

}  // namespace

const std::array<int32_t, 100> querySchedule = makeSchedule();

const std::array<QueryTemplate, 26> queryTemplates = {{
    {0, 0}, {3, 9}, {0, 6}, {0, 5}, {2, 4}, {1, 0}, {1, 8}, {2, 0}, {0, 2}, {1, 7}, {1, 2}, {0, 1}, {2, 5},
    {1, 1}, {1, 4}, {2, 1}, {0, 8}, {0, 3}, {2, 2}, {1, 3}, {2, 3}, {0, 4}, {1, 5}, {1, 6}, {2, 8}, {0, 7},
}};

void QueryWriter::walk() {
    int32_t templateIndex = static_cast<int32_t>(randomDouble() * 26.0);
    int32_t scheduleIndex = 0;
    int32_t emptyRate[11] = {};  // counters of kinds 1, 2, 5 and 6
    const int64_t queries = int64_t{250} * context.dimensionModel->channels().memberCount();
    for (int64_t q = 0; q < queries; ++q) {
        WriterRecord& record = slot();
        const int32_t kind = querySchedule[static_cast<size_t>(scheduleIndex)];
        record.setQueryKind(kind);
        switch (kind) {
            case 1:
            case 2:
            case 5:
            case 6: {
                const bool empty = emptyRate[kind] < 2;
                emptyRate[kind] = emptyRate[kind] + 1 == 30 ? 0 : emptyRate[kind] + 1;
                if (kind == 1) makeQuery1(empty, record);
                else if (kind == 2) makeQuery2(empty, record);
                else if (kind == 5) makeQuery5(empty, record);
                else makeQuery6(empty, record);
                break;
            }
            case 3: makeQuery3(record); break;
            case 4: makeQuery4(record); break;
            case 7: makeQuery7(record); break;
            case 8: makeQuery8(record); break;
            case 9: makeQuery9(record); break;
            default:
                makeQuery10(queryTemplates[static_cast<size_t>(templateIndex)], record);
                templateIndex = templateIndex + 1 == 26 ? 0 : templateIndex + 1;
                break;
        }
        scheduleIndex = scheduleIndex + 1 == 100 ? 0 : scheduleIndex + 1;
        emit();
    }
}

QueryWriter::QueryWriter(OutputFile& f, int32_t cap) : RecordWriter(f, cap, lineLength) {
    // The query writer's own failure text is in lower case.
    writeFailureText = "oops";
}

char* QueryWriter::writeRecord(const WriterRecord& r, char* out) {
    const DimensionModel& model = *context.dimensionModel;
    const int32_t kind = r.queryKind();
    const char* f[7] = {"", "", "", "", "", "", ""};
    if (kind < 1 || kind > 10) {
        reportError("bad query number writing '%s'\n", file.name());
        throw TextException("oops");
    }
    auto product = [&] { return model.product(r.productIndex).code; };
    auto customer = [&] { return model.customer(r.customerIndex).code; };
    auto channel = [&] { return model.channel(r.channelIndex).code; };
    auto time = [&] { return model.time(r.timeIndex).code; };
    switch (kind) {
        case 1: f[1] = product(); f[2] = customer(); f[3] = channel(); f[4] = time(); break;
        case 2: case 4: case 7: f[1] = product(); f[2] = customer(); f[3] = time(); break;
        case 3: case 8: case 9: f[1] = product(); f[2] = customer(); break;
        case 5: f[1] = customer(); break;
        case 6: f[1] = product(); break;
        default:
            f[1] = r.productIndex == -1 ? "Product" : product();
            f[2] = r.customerIndex == -1 ? "Customer" : customer();
            f[3] = r.channelIndex == -1 ? "Channel" : channel();
            f[4] = r.timeIndex == -1 ? "Time" : time();
            f[5] = queryScenarioName(r.scenarioIndex);
            f[6] = model.measureName(r.measureIndex());
            break;
    }
    // "%24s%-24s%-24s%-24s%-24s%-24s%-24s\n" with the kind's number first.
    out = fixed_format::rightInt<24>(out, kind);
    for (int i = 1; i < 7; ++i) out = fixed_format::leftText(out, f[i], 24);
    *out++ = '\n';
    return out;
}

}  // namespace qem
