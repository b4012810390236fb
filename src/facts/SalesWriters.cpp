#include "facts/SalesWriters.h"

#include "context/Context.h"
#include "core/FixedFormat.h"
#include "core/WalkPosition.h"

namespace qem {

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
    const int64_t productStep = int64_t{bp} * stride, firstProduct = int64_t{bp} * sliceIndex;
    // A window starts the loops where its first record lies.
    const int64_t sliceBlocks = sliceProductBlocks(sliceIndex, stride);
    if (sliceBlocks == 0) return;
    const auto start = walkPosition<4>(walkStart(), {sliceBlocks, channelLeaves, d, months});
    int32_t c0 = static_cast<int32_t>(start[0] * bc);
    int64_t p0 = firstProduct + start[1] * productStep;
    int32_t ch0 = static_cast<int32_t>(start[2]), k0 = static_cast<int32_t>(start[3]);
    int32_t m0 = static_cast<int32_t>(start[4]);
    for (; c0 < cEnd; c0 += bc, p0 = firstProduct) {
        for (; p0 < pEnd; p0 += productStep, ch0 = 0) {
            for (int32_t ch = ch0; ch < channelLeaves; ++ch, k0 = 0) {
                const CellPattern* pattern = density.channelPattern(ch);
                for (int32_t k = k0; k < d; ++k, m0 = 0) {
                    const PatternCell cell = pattern->shiftedCell(k, c0, static_cast<int32_t>(p0));
                    const int32_t customer = c0 + cell.customerOffset;
                    const int32_t product = static_cast<int32_t>(p0) + cell.productOffset;
                    for (int32_t m = m0; m < months; ++m) {
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

}  // namespace qem
