#include "facts/BudgetWriter.h"

#include "context/Context.h"
#include "core/FixedFormat.h"

using namespace fixed_format;

namespace {
// The four writers of "budget.qem" write a whole buffer at a time under it.
WriterMutex budgetLock;
}  // namespace

BudgetWriter::BudgetWriter(OutputFile& f, int32_t cap)
    : AggregateWriter(f, cap, firstBudgetMonth, budgetMonthCount, &budgetLock) {}

void BudgetWriter::writeRecord(const WriterRecord& r) {
    const DimensionModel& model = *context.dimensionModel;
    const int32_t p = r.productIndex, c = r.customerIndex, m = r.timeIndex;
    const int32_t u = model.units(budgetScenario, 0, p, c, m);
    const double a = model.dollarSales(budgetScenario, 0, p, c, m);
    // "%12s%12s%6s%10d%10.2lf\n"
    char line[128];
    char* out = line;
    out = rightText(out, model.customer(c).code, 12);
    out = rightText(out, model.product(p).code, 12);
    out = rightText(out, model.time(m).code, 6);
    out = rightInt(out, u, 10);
    out = money(out, a);
    *out++ = '\n';
    writeText(line, static_cast<size_t>(out - line));
}
