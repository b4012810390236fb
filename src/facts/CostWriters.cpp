#include "facts/CostWriters.h"

#include "context/Context.h"
#include "core/FixedFormat.h"

using namespace fixed_format;

void CostWriter::walk() {
    const int32_t leaves = leafCount(), block = blockSize();
    const auto field = indexField();
    auto add = [&](int32_t scenario, int32_t month, int32_t leaf) {
        WriterRecord& r = slot();
        r.scenarioIndex = scenario;
        r.timeIndex = month;
        r.*field = leaf;
        emit();
    };
    for (int32_t a = leaves - block; a >= 0; a -= block) {
        for (int32_t i = 0; i < block; ++i) {
            for (int32_t m = 0; m <= lastActualMonth; ++m) add(actualScenario, m, a + i);
            for (int32_t m = firstBudgetMonth; m <= lastBudgetMonth; ++m) add(budgetScenario, m, a + i);
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
