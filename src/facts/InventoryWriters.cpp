#include "facts/InventoryWriters.h"

#include <unistd.h>

#include <ctime>

#include "context/Context.h"
#include "core/FixedFormat.h"

namespace qem {

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

void InventoryWriter::walk() {
    // Each customer and product factor serves many lines: computed once per
    // position (every position an accessor accepts), on the writer's thread.
    const DimensionModel& model = *context.dimensionModel;
    customerTerms.resize(static_cast<size_t>(model.customers().memberCount()));
    for (size_t c = 0; c < customerTerms.size(); ++c)
        customerTerms[c] = model.inventoryCustomerTerm(static_cast<int32_t>(c));
    productTerms.resize(static_cast<size_t>(model.products().memberCount()));
    for (size_t p = 0; p < productTerms.size(); ++p)
        productTerms[p] = model.inventoryProductTerm(static_cast<int32_t>(p));
    AggregateWriter::walk();
}

HistoricalInventoryWriter::HistoricalInventoryWriter(OutputFile& f, int32_t cap, std::optional<int32_t> seed)
    : InventoryWriter(f, cap, lineLength, &historicalInventoryLock, seed) {
    for (int32_t m = 0; m < historicalMonthCount; ++m) monthTerms[m] = context.dimensionModel->inventoryMonthTerm(m);
}

char* HistoricalInventoryWriter::writeRecord(const WriterRecord& r, char* out) {
    const DimensionModel& model = *context.dimensionModel;
    const int32_t p = r.productIndex, c = r.customerIndex;
    const char* const customerCode = model.customerCode(c);
    const char* const productCode = model.productCode(p);
    // All 17 values first: no text is stored between the draws, so the
    // generator's state can stay in registers.
    const double customerTerm = customerTerms[static_cast<size_t>(c)];
    const double productTerm = productTerms[static_cast<size_t>(p)];
    int32_t values[historicalMonthCount];
    for (int32_t m = 0; m < historicalMonthCount; ++m)
        values[m] = DimensionModel::inventoryValue(customerTerm, productTerm, monthTerms[m], generator.nextDouble());
    // "%12s%12s" then 17 times "%10d", then "\n": the codes fill their columns.
    out = code<12>(out, customerCode);
    out = code<12>(out, productCode);
    for (int32_t v : values) out = rightInt<10>(out, v);
    *out++ = '\n';
    return out;
}

CurrentInventoryWriter::CurrentInventoryWriter(OutputFile& f, int32_t cap, std::optional<int32_t> seed)
    : InventoryWriter(f, cap, lineLength, nullptr, seed),
      monthTerm(context.dimensionModel->inventoryMonthTerm(currentMonth)) {}

char* CurrentInventoryWriter::writeRecord(const WriterRecord& r, char* out) {
    const DimensionModel& model = *context.dimensionModel;
    const int32_t p = r.productIndex, c = r.customerIndex;
    // "%-12s%-12s%10ld\n": the codes fill their columns; the value is inventory(p, c, 17, generator).
    out = code<12>(out, model.customerCode(c));
    out = code<12>(out, model.productCode(p));
    out = rightInt<10>(out, DimensionModel::inventoryValue(customerTerms[static_cast<size_t>(c)],
                                                          productTerms[static_cast<size_t>(p)], monthTerm,
                                                          generator.nextDouble()));
    *out++ = '\n';
    return out;
}

}  // namespace qem
