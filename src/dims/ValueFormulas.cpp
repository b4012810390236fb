// The value formulas behind every number of the fact and cost files (units,
// dollarSales and inventoryValue are inline in the model's header). Four are
// pure functions of positions and leaf counts; inventory adds one random term
// from the caller's generator.
#include <cmath>

#include "core/RandomGenerator.h"
#include "dims/DimensionModel.h"

namespace qem {

namespace {

// The budget costs are constant within a quarter, falling through the year.
inline int32_t costMonth(int32_t s, int32_t m, int32_t leafMonths) {
    return s == budgetScenario ? leafMonths - 3 * (m / 3) : m;
}

}  // namespace

double DimensionModel::stdShipCost(int32_t s, int32_t c, int32_t m) const {
    const double k = s == actualScenario ? 2.2 : 1.7;
    const int32_t lt = timeTable->leafCount;
    const double x = static_cast<double>(c) / static_cast<double>(customerTable->leafCount);
    const double a = (std::cos(5.0 * x) + 1.0) * 5.921;
    const double y = static_cast<double>(costMonth(s, m, lt)) / static_cast<double>(lt);
    const double b = std::sin(std::pow(5.0 * x + y / 2.0, k)) + 1.2;
    return a + b;
}

double DimensionModel::stdProdCost(int32_t s, int32_t p, int32_t m) const {
    const double k = s == actualScenario ? 2.5 : 2.0;
    const int32_t lt = timeTable->leafCount;
    const double x = static_cast<double>(p) / static_cast<double>(productTable->leafCount);
    const double a = (std::cos(8.0 * x) + 1.0) * 10.374;
    const double y = static_cast<double>(costMonth(s, m, lt)) / static_cast<double>(lt);
    const double b = std::sin(std::pow(5.0 * x + y / 2.0, k)) + 1.6;
    return a + b;
}

double DimensionModel::inventoryCustomerTerm(int32_t c) const {
    const double lc = static_cast<double>(customerTable->leafCount);
    return std::sin(21.98 * (static_cast<double>(c) / lc) + 0.2);
}

double DimensionModel::inventoryProductTerm(int32_t p) const {
    const double lp = static_cast<double>(productTable->leafCount);
    return std::cos(200.96 * (static_cast<double>(p) / lp) + 1.0) * 0.5 + 1.5;
}

double DimensionModel::inventoryMonthTerm(int32_t m) const {
    const double lt = static_cast<double>(timeTable->leafCount);
    return std::sin(std::sin(9.42 * (static_cast<double>(m) / lt) + 0.2) * 3.14 + 0.1);
}

int32_t DimensionModel::inventory(int32_t p, int32_t c, int32_t m, RandomGenerator& generator) const {
    const double d = inventoryCustomerTerm(c);
    const double e = inventoryProductTerm(p);
    const double f = inventoryMonthTerm(m);
    return inventoryValue(d, e, f, generator.nextDouble());
}

}  // namespace qem
