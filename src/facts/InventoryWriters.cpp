#include "facts/InventoryWriters.h"

#include <unistd.h>

#include <ctime>

#include "context/Context.h"
#include "core/FixedFormat.h"

using namespace fixed_format;

namespace {

// The four writers of "histinv.qem" write a whole buffer at a time under it.
WriterMutex historicalInventoryLock;

int32_t clockAndThreadSeed() {
    const uint32_t seconds = static_cast<uint32_t>(::time(nullptr));
    const uint32_t thread = static_cast<uint32_t>(gettid());
    return static_cast<int32_t>(seconds + thread);
}

}  // namespace

InventoryWriter::InventoryWriter(OutputFile& f, int32_t cap, int32_t lineLength, WriterMutex* lock,
                                 std::optional<int32_t> seed)
    : AggregateWriter(f, cap, lineLength, 0, 1, lock) {
    generator.seed(seed ? *seed : clockAndThreadSeed());
}

HistoricalInventoryWriter::HistoricalInventoryWriter(OutputFile& f, int32_t cap, std::optional<int32_t> seed)
    : InventoryWriter(f, cap, lineLength, &historicalInventoryLock, seed) {
    for (int32_t m = 0; m < historicalMonthCount; ++m) monthTerms[m] = context.dimensionModel->inventoryMonthTerm(m);
}

char* HistoricalInventoryWriter::writeRecord(const WriterRecord& r, char* out) {
    const DimensionModel& model = *context.dimensionModel;
    const int32_t p = r.productIndex, c = r.customerIndex;
    int32_t values[historicalMonthCount];
    const double customerTerm = model.inventoryCustomerTerm(c);
    const double productTerm = model.inventoryProductTerm(p);
    for (int32_t m = 0; m < historicalMonthCount; ++m)
        values[m] = DimensionModel::inventoryValue(customerTerm, productTerm, monthTerms[m], generator.nextDouble());
    // "%12s%12s" then 17 times "%10d", then "\n": the codes fill their columns.
    out = code<12>(out, model.customer(c).code);
    out = code<12>(out, model.product(p).code);
    for (int32_t v : values) out = rightInt<10>(out, v);
    *out++ = '\n';
    return out;
}

CurrentInventoryWriter::CurrentInventoryWriter(OutputFile& f, int32_t cap, std::optional<int32_t> seed)
    : InventoryWriter(f, cap, lineLength, nullptr, seed) {}

char* CurrentInventoryWriter::writeRecord(const WriterRecord& r, char* out) {
    const DimensionModel& model = *context.dimensionModel;
    const int32_t p = r.productIndex, c = r.customerIndex;
    const int32_t v = model.inventory(p, c, currentMonth, generator);
    // "%-12s%-12s%10ld\n": the codes fill their columns.
    out = code<12>(out, model.customer(c).code);
    out = code<12>(out, model.product(p).code);
    out = rightInt<10>(out, v);
    *out++ = '\n';
    return out;
}
