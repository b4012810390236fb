#include "facts/SalesWriters.h"

#include "context/Context.h"
#include "core/FixedFormat.h"

using namespace fixed_format;

namespace {
constexpr size_t textPerRecord = 64;  // a line is 62 characters and the newline
// The four writers of "histsale.qem" write a whole buffer at a time under it.
WriterMutex historicalSalesLock;
}  // namespace

SalesWriter::SalesWriter(OutputFile& f, int32_t cap, int32_t limit, int32_t monthCount, WriterMutex* lock)
    : RecordWriter(f, cap, limit, lock), months(monthCount) {}

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
    : SalesWriter(f, cap, limit, historicalMonthCount, &historicalSalesLock),
      textBuffer(new char[static_cast<size_t>(cap) * textPerRecord + 1]) {}

void HistoricalSalesWriter::writeRecord(const WriterRecord& r) {
    const DimensionModel& model = *context.dimensionModel;
    const int32_t p = r.productIndex, c = r.customerIndex, ch = r.channelIndex, m = r.timeIndex;
    const int32_t u = model.units(actualScenario, ch, p, c, m);
    const double a = model.dollarSales(actualScenario, ch, p, c, m);
    // "%12s%12s%12s%6s%10d%10.2lf\n"
    char* out = textBuffer.get() + textLength;
    out = rightText(out, model.customer(c).code, 12);
    out = rightText(out, model.product(p).code, 12);
    out = rightText(out, model.channel(ch).code, 12);
    out = rightText(out, model.time(m).code, 6);
    out = rightInt(out, u, 10);
    out = money(out, a);
    *out++ = '\n';
    textLength = static_cast<int32_t>(out - textBuffer.get());
}

void HistoricalSalesWriter::endOfBuffer() {
    const size_t length = static_cast<size_t>(textLength);
    textLength = 0;
    writeText(textBuffer.get(), length);
}

CurrentSalesWriter::CurrentSalesWriter(OutputFile& f, int32_t cap, int32_t limit)
    : SalesWriter(f, cap, limit, 1, nullptr) {}

void CurrentSalesWriter::writeRecord(const WriterRecord& r) {
    const DimensionModel& model = *context.dimensionModel;
    const int32_t p = r.productIndex, c = r.customerIndex, ch = r.channelIndex;
    const int32_t u = model.units(actualScenario, ch, p, c, currentMonth);
    const double a = model.dollarSales(actualScenario, ch, p, c, currentMonth);
    // "%-12s%-12s%-12s%10d%10.2lf\n"
    char line[128];
    char* out = line;
    out = leftText(out, model.customer(c).code, 12);
    out = leftText(out, model.product(p).code, 12);
    out = leftText(out, model.channel(ch).code, 12);
    out = rightInt(out, u, 10);
    out = money(out, a);
    *out++ = '\n';
    writeText(line, static_cast<size_t>(out - line));
}
