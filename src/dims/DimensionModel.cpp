#include "dims/DimensionModel.h"

#include "core/Failure.h"

namespace qem {

namespace {

const char* const channelLevels[] = {"Base", "Top"};
const char* const customerLevels[] = {"Store", "Retailer", "Top"};
const char* const productLevels[] = {"Code", "Class", "Group", "Family", "Line", "Division", "Top"};
const char* const timeLevels[] = {"Month", "Quarter", "Year"};

const char* const measureNames[] = {"DollarSales", "DollarCost",      "Units",       "Margin",        "MarginPct",
                                    "AvgSellingPrice", "StdProdCost", "StdShipCost", "SmoothedSales", "Inventory"};

const char* const scenarioNames[] = {"Actual", "Budget", "Forecast", "Scenario", "Base"};

}  // namespace

DimensionModel::DimensionModel() = default;
DimensionModel::~DimensionModel() = default;

const char* DimensionModel::levelName(int32_t dimension, int32_t i) const {
    static const char* const* const levels[] = {channelLevels, customerLevels, productLevels, timeLevels};
    static const int levelCounts[] = {2, 3, 7, 3};
    if (dimension < channelDimension || dimension > timeDimension) throw TextException("Bad dimension reference obtaining level name");
    const DimensionTable* tables[] = {channelTable.get(), customerTable.get(), productTable.get(), timeTable.get()};
    const Member& m = memberAt(tables[dimension], i, "Bad member reference obtaining level name");
    if (m.level < 0 || m.level >= levelCounts[dimension]) throw TextException("Bad member reference obtaining level name");
    return levels[dimension][m.level];
}

const char* DimensionModel::measureName(int32_t m) const {
    if (m < 0 || m > 9) throw TextException("Bad measure reference obtaining measure name");
    return measureNames[m];
}

const char* DimensionModel::scenarioName(int32_t s) const {
    if (s < 0 || s > 4) throw TextException("error in scenario name accessor!");
    return scenarioNames[s];
}

}  // namespace qem
