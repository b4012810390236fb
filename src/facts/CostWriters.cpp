#include "facts/CostWriters.h"

#include "context/Context.h"
#include "core/FixedFormat.h"
#include "core/WalkPosition.h"

namespace qem {

using namespace fixed_format;

void CostWriter::walk() {
    const int32_t leaves = leafCount(), block = blockSize();
    const auto field = indexField();
    // Per leaf the 18 Actual months 0 .. 17, then the 12 Budget months 12 .. 23.
    constexpr int32_t actualMonths = lastActualMonth + 1;
    constexpr int32_t recordsPerLeaf = actualMonths + budgetMonthCount;
    // A window starts the loops where its first record lies.
    const auto start = walkPosition<2>(walkStart(), {block, recordsPerLeaf});
    int32_t i0 = static_cast<int32_t>(start[1]), j0 = static_cast<int32_t>(start[2]);
    for (int64_t a = leaves - block - start[0] * block; a >= 0; a -= block, i0 = 0) {
        for (int32_t i = i0; i < block; ++i, j0 = 0) {
            for (int32_t j = j0; j < recordsPerLeaf; ++j) {
                WriterRecord& r = slot();
                const bool actual = j < actualMonths;
                r.scenarioIndex = actual ? actualScenario : budgetScenario;
                r.timeIndex = actual ? j : firstBudgetMonth + (j - actualMonths);
                r.*field = static_cast<int32_t>(a) + i;
                if (!emit()) return;
            }
        }
    }
}

char* CostWriter::writeCostLine(char* out, const char* leafCode, int32_t scenario, int32_t month, double value) {
    const DimensionModel& model = *context.dimensionModel;
    out = code<12>(out, leafCode);
    out = leftText(out, model.scenarioName(scenario), 12);
    out = code<6>(out, model.time(month).code);
    out = cost(out, value);
    *out++ = '\n';
    return out;
}

int32_t ShippingCostWriter::leafCount() const { return context.dimensionModel->customers().leafCount; }
int32_t ShippingCostWriter::blockSize() const { return context.blockCustomers; }
int32_t WriterRecord::*ShippingCostWriter::indexField() const { return &WriterRecord::customerIndex; }
char* ShippingCostWriter::writeRecord(const WriterRecord& r, char* out) {
    const DimensionModel& model = *context.dimensionModel;
    return writeCostLine(out, model.customer(r.customerIndex).code, r.scenarioIndex, r.timeIndex,
                         model.stdShipCost(r.scenarioIndex, r.customerIndex, r.timeIndex));
}

int32_t ProductCostWriter::leafCount() const { return context.dimensionModel->products().leafCount; }
int32_t ProductCostWriter::blockSize() const { return context.blockProducts; }
int32_t WriterRecord::*ProductCostWriter::indexField() const { return &WriterRecord::productIndex; }
char* ProductCostWriter::writeRecord(const WriterRecord& r, char* out) {
    const DimensionModel& model = *context.dimensionModel;
    return writeCostLine(out, model.product(r.productIndex).code, r.scenarioIndex, r.timeIndex,
                         model.stdProdCost(r.scenarioIndex, r.productIndex, r.timeIndex));
}

}  // namespace qem
