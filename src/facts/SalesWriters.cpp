#include "facts/SalesWriters.h"

#include "context/Context.h"
#include "core/FixedFormat.h"

using namespace fixed_format;

namespace {
// The four writers of "histsale.qem" write a whole buffer at a time under it.
WriterMutex historicalSalesLock;
}  // namespace

SalesWriter::SalesWriter(OutputFile& f, int32_t cap, int32_t lineLength, int32_t limit, int32_t monthCount,
                         WriterMutex* lock)
    : RecordWriter(f, cap, lineLength, limit, lock), months(monthCount) {}

void SalesWriter::walk() {
    // A writer with no share of the cells writes nothing.
    if (recordLimit <= 0) return;
    const DensityPattern& density = *context.densityPattern;
    const int32_t cEnd = customerEnd(), pEnd = productEnd();
    const int32_t bc = context.blockCustomers, bp = context.blockProducts;
    const int32_t channelLeaves = context.dimensionModel->channels().leafCount;
    const int32_t d = context.state.densityCode;
    const int64_t productStep = int64_t{bp} * stride;
    for (int32_t c0 = 0; c0 < cEnd; c0 += bc) {
        for (int64_t p0 = int64_t{bp} * sliceIndex; p0 < pEnd; p0 += productStep) {
            for (int32_t ch = 0; ch < channelLeaves; ++ch) {
                const CellPattern* pattern = density.channelPattern(ch);
                for (int32_t k = 0; k < d; ++k) {
                    const PatternCell cell = pattern->shiftedCell(k, c0, static_cast<int32_t>(p0));
                    const int32_t customer = c0 + cell.customerOffset;
                    const int32_t product = static_cast<int32_t>(p0) + cell.productOffset;
                    for (int32_t m = 0; m < months; ++m) {
                        WriterRecord& r = slot();
                        r.channelIndex = ch;
                        r.timeIndex = m;
                        r.customerIndex = customer;
                        r.productIndex = product;
                        if (!emit()) return;
                    }
                }
            }
        }
    }
}

HistoricalSalesWriter::HistoricalSalesWriter(OutputFile& f, int32_t cap, int32_t limit)
    : SalesWriter(f, cap, lineLength, limit, historicalMonthCount, &historicalSalesLock) {}

char* HistoricalSalesWriter::writeRecord(const WriterRecord& r, char* out) {
    const DimensionModel& model = *context.dimensionModel;
    const int32_t p = r.productIndex, c = r.customerIndex, ch = r.channelIndex, m = r.timeIndex;
    // "%12s%12s%12s%6s%10d%10.2lf\n": the codes fill their columns.
    out = code<12>(out, model.customerCode(c));
    out = code<12>(out, model.productCode(p));
    out = code<12>(out, model.channelCode(ch));
    out = code<6>(out, model.time(m).code);
    out = rightInt<10>(out, model.units(actualScenario, ch, p, c, m));
    out = wholeMoney(out, model.wholeDollarSales(actualScenario, ch, p, c, m));
    *out++ = '\n';
    return out;
}

CurrentSalesWriter::CurrentSalesWriter(OutputFile& f, int32_t cap, int32_t limit)
    : SalesWriter(f, cap, lineLength, limit, 1, nullptr) {}

char* CurrentSalesWriter::writeRecord(const WriterRecord& r, char* out) {
    const DimensionModel& model = *context.dimensionModel;
    const int32_t p = r.productIndex, c = r.customerIndex, ch = r.channelIndex;
    // "%-12s%-12s%-12s%10d%10.2lf\n": the codes fill their columns.
    out = code<12>(out, model.customerCode(c));
    out = code<12>(out, model.productCode(p));
    out = code<12>(out, model.channelCode(ch));
    out = rightInt<10>(out, model.units(actualScenario, ch, p, c, currentMonth));
    out = wholeMoney(out, model.wholeDollarSales(actualScenario, ch, p, c, currentMonth));
    *out++ = '\n';
    return out;
}
