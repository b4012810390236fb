// The value formulas behind every number of the fact and cost files. Four are
// pure functions of positions and leaf counts; inventory adds one random term
// from the caller's generator.
#include <cmath>

#include "core/RandomGenerator.h"
#include "dims/DimensionModel.h"

int32_t DimensionModel::units(int32_t s, int32_t ch, int32_t p, int32_t c, int32_t m) const {
    // The products may wrap around: only their low bits matter.
    const uint32_t uc = static_cast<uint32_t>(c), up = static_cast<uint32_t>(p);
    const uint32_t uch = static_cast<uint32_t>(ch), um = static_cast<uint32_t>(m);
    const int32_t base = static_cast<int32_t>(((uc * up) & 10u) + ((uch * um) & 3u));
    if (s == actualScenario) return base + 1;
    const int32_t g = static_cast<int32_t>(((uc * um * up) >> 3) & 3u);
    int32_t r = ((uc + up) & 1u) ? base + g : base - g;
    if (r <= 0) r = -r;
    return r + 1;
}

double DimensionModel::dollarSales(int32_t s, int32_t ch, int32_t p, int32_t c, int32_t m) const {
    const int64_t t = ((m ^ 4) + ((m + 2) ^ 5)) & 7;
    const int64_t priceCents = ((int64_t{p} + 20) * (t + 4 * int64_t{c} + 3 * (int64_t{ch} + 3))) % 5000;
    return static_cast<double>(int64_t{units(s, ch, p, c, m)} * priceCents / 100);
}

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

int32_t DimensionModel::inventoryValue(double d, double e, double f, double r) {
    const double v = std::fabs(2.0 * d) + r * 5.0 * f * f * e;
    return static_cast<int32_t>(v + 1.0);
}

int32_t DimensionModel::inventory(int32_t p, int32_t c, int32_t m, RandomGenerator& generator) const {
    const double d = inventoryCustomerTerm(c);
    const double e = inventoryProductTerm(p);
    const double f = inventoryMonthTerm(m);
    return inventoryValue(d, e, f, generator.nextDouble());
}
