#include "facts/BudgetWriter.h"

#include "context/Context.h"
#include "core/FixedFormat.h"

namespace qem {

using namespace fixed_format;

namespace {
// The four writers of "budget.qem" write a whole buffer at a time under it.
WriterMutex budgetLock;
}  // namespace

BudgetWriter::BudgetWriter(OutputFile& f, int32_t cap)
    : AggregateWriter(f, cap, lineLength, firstBudgetMonth, budgetMonthCount, &budgetLock) {}

char* BudgetWriter::writeRecord(const WriterRecord& r, char* out) {
    const DimensionModel& model = *context.dimensionModel;
    const int32_t p = r.productIndex, c = r.customerIndex, m = r.timeIndex;
    // "%12s%12s%6s%10d%10.2lf\n": the codes fill their columns.
    out = code<12>(out, model.customerCode(c));
    out = code<12>(out, model.productCode(p));
    out = code<6>(out, model.time(m).code);
    out = rightInt<10>(out, model.units(budgetScenario, 0, p, c, m));
    out = wholeMoney(out, model.wholeDollarSales(budgetScenario, 0, p, c, m));
    *out++ = '\n';
    return out;
}

}  // namespace qem
