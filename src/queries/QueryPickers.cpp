#include "queries/QueryPickers.h"

#include "context/Context.h"
#include "core/Failure.h"
#include "core/RandomGenerator.h"

namespace qem {

namespace {

const char* const queryScenarioNames[] = {"Actual", "Budget", "Forecast", "Scenario"};
const double productThresholds[] = {0.5, 0.65, 0.8, 0.9, 1.0};
constexpr int8_t divisionLevel = 5;

const DimensionModel& model() { return *context.dimensionModel; }

// start + trunc(u * span * block), then down to the block's origin; the
// product u * span * block is evaluated left to right in double precision.
int32_t emptyBlock(int32_t leaves, int32_t end, int32_t block) {
    const int32_t start = end + block;
    const int32_t span = (leaves - start) / block;
    const int64_t r = start + static_cast<int64_t>(randomDouble() * span * block);
    return static_cast<int32_t>(r - r % block);
}

}  // namespace

const char* queryScenarioName(int32_t i) {
    if (i < 0 || i > 3) throw TextException("bad reference to scenario");
    return queryScenarioNames[i];
}

int32_t randomChannelLeaf() {
    return static_cast<int32_t>(randomDouble() * model().channels().leafCount);
}

int32_t randomInRange(int32_t lo, int32_t hi) {
    return lo + static_cast<int32_t>(randomDouble() * (int64_t{hi} - lo + 1));
}

int32_t randomBudgetMonth() { return firstBudgetMonth + static_cast<int32_t>(randomDouble() * 12.0); }

int32_t pickHistoryPeriod() {
    const int32_t m = randomInRange(0, lastActualMonth);
    const Member* q = model().time(m).parent;
    if (randomDouble() >= 0.75) q = q->parent;
    return q->index;
}

int32_t emptyCustomerBlock() {
    return emptyBlock(model().customers().leafCount, customerEnd(), context.blockCustomers);
}

int32_t emptyProductBlock() {
    return emptyBlock(model().products().leafCount, productEnd(), context.blockProducts);
}

void pickEmptyCell(int32_t& product, int32_t& customer, bool emptyProduct, bool emptyCustomer) {
    const int32_t bit = randomInt() & 16;
    int kase;
    if (!emptyProduct && emptyCustomer)
        kase = 1;
    else if (emptyProduct && !emptyCustomer)
        kase = 2;
    else if (emptyProduct && emptyCustomer)
        kase = 3;
    else
        kase = bit != 0 ? 1 : 2;
    const int32_t sp = model().products().memberCount(), sc = model().customers().memberCount();
    switch (kase) {
        case 1:
            product = static_cast<int32_t>((sp - 1) * randomDouble());
            customer = emptyCustomerBlock();
            customer += static_cast<int32_t>(randomDouble() * context.blockCustomers);
            break;
        case 2:
            product = emptyProductBlock();
            product += static_cast<int32_t>(randomDouble() * context.blockProducts);
            customer = static_cast<int32_t>((sc - 1) * randomDouble());
            break;
        default:
            product = emptyProductBlock();
            product += static_cast<int32_t>(randomDouble() * context.blockProducts);
            customer = emptyCustomerBlock();
            customer += static_cast<int32_t>(randomDouble() * context.blockCustomers);
            break;
    }
}

void pickDataCell(int32_t channel, int32_t& product, int32_t& customer, const CellPattern** patternOut) {
    const int64_t lp = model().products().leafCount, lc = model().customers().leafCount;
    const int32_t bp = context.blockProducts, bc = context.blockCustomers;
    const double u1 = randomDouble();
    int32_t p0 = static_cast<int32_t>(static_cast<double>((lp - 1) * dataRegionPercent / 100) * u1);
    p0 -= p0 % bp;
    const double u2 = randomDouble();
    product = p0 + static_cast<int32_t>(u2 * bp);
    const double u3 = randomDouble();
    int32_t c0 = static_cast<int32_t>(static_cast<double>((lc - 1) * dataRegionPercent / 100) * u3);
    c0 -= c0 % bc;
    const double u4 = randomDouble();
    customer = c0 + static_cast<int32_t>(u4 * bc);
    const CellPattern* pat = context.densityPattern->channelPattern(channel);
    if (!pat) throw TextException("?bad cell reference");
    const double u5 = randomDouble();
    const int32_t k = static_cast<int32_t>(u5 * context.state.densityCode);
    const PatternCell cell = pat->shiftedCell(k, c0, p0);
    product = p0 + cell.productOffset;
    customer = c0 + cell.customerOffset;
    if (patternOut) *patternOut = pat;
}

const Member& raiseProductLevel(int32_t position) {
    const double u = randomDouble();
    const Member* m = &model().product(position);
    int i = 0;
    for (;;) {
        if (m->level == divisionLevel || !m->parent) return *m;
        m = m->parent;
        if (u > productThresholds[i])
            ++i;
        else
            return *m;
    }
}

}  // namespace qem
