#include "dataset/Tables.h"

#include <cstdio>

#include "dataset/DataSetError.h"

namespace qemdata {

const std::vector<std::string>& monthCodes() {
    static const std::vector<std::string> codes = [] {
        std::vector<std::string> c;
        for (int m = 0; m < 24; ++m) {
            char text[8];
            snprintf(text, sizeof text, "%04d%02d", 1995 + m / 12, m % 12 + 1);
            c.emplace_back(text);
        }
        return c;
    }();
    return codes;
}

void checkMonths(const Dimensions& dims) {
    const Dimension& time = dims[timeDimension];
    for (const std::string& code : monthCodes()) {
        const int32_t at = time.find(code);
        if (at < 0 || !time.isLeaf(at))
            throw DataSetError(std::string(time.layout.treeFile) + ": month '" + code + "' is missing");
    }
}

const std::vector<TableDef>& factTables() {
    static const std::vector<TableDef> tables{
        {"histsale", "histsale.qem", 62, 1,
         {{"customer", ColumnType::code}, {"product", ColumnType::code}, {"channel", ColumnType::code}, {"month", ColumnType::code},
          {"units", ColumnType::count}, {"dollar_sales", ColumnType::amount}},
         {"customer", "product", "channel", "month"},
         {{"customer", customerDimension, true}, {"product", productDimension, true},
          {"channel", channelDimension, true}, {"month", timeDimension, true}}, TableId::histsale},
        {"histinv", "histinv.qem", 194, 17,
         {{"customer", ColumnType::code}, {"product", ColumnType::code}, {"month", ColumnType::code}, {"inventory", ColumnType::count}},
         {"customer", "product", "month"},
         {{"customer", customerDimension, true}, {"product", productDimension, true},
          {"month", timeDimension, true}}, TableId::histinv},
        {"budget", "budget.qem", 50, 1,
         {{"customer", ColumnType::code}, {"product", ColumnType::code}, {"month", ColumnType::code}, {"units", ColumnType::count},
          {"dollar_sales", ColumnType::amount}},
         {"customer", "product", "month"},
         {{"customer", customerDimension, true}, {"product", productDimension, true},
          {"month", timeDimension, true}}, TableId::budget},
        {"currsale", "currsale.qem", 56, 1,
         {{"customer", ColumnType::code}, {"product", ColumnType::code}, {"channel", ColumnType::code}, {"month", ColumnType::code},
          {"units", ColumnType::count}, {"dollar_sales", ColumnType::amount}},
         {"customer", "product", "channel", "month"},
         {{"customer", customerDimension, true}, {"product", productDimension, true},
          {"channel", channelDimension, true}, {"month", timeDimension, true}}, TableId::currsale},
        {"currinv", "currinv.qem", 34, 1,
         {{"customer", ColumnType::code}, {"product", ColumnType::code}, {"month", ColumnType::code}, {"inventory", ColumnType::count}},
         {"customer", "product", "month"},
         {{"customer", customerDimension, true}, {"product", productDimension, true},
          {"month", timeDimension, true}}, TableId::currinv},
        {"prodcos", "prodcos.qem", 40, 1,
         {{"product", ColumnType::code}, {"scenario", ColumnType::scenario}, {"month", ColumnType::code},
          {"prod_cost", ColumnType::cost}},
         {"product", "scenario", "month"},
         {{"product", productDimension, true}, {"month", timeDimension, true}}, TableId::prodcos},
        {"custship", "custship.qem", 40, 1,
         {{"customer", ColumnType::code}, {"scenario", ColumnType::scenario}, {"month", ColumnType::code},
          {"ship_cost", ColumnType::cost}},
         {"customer", "scenario", "month"},
         {{"customer", customerDimension, true}, {"month", timeDimension, true}}, TableId::custship},
        {"query", nullptr, 168, 1,
         {{"user_number", ColumnType::count}, {"position", ColumnType::count}, {"kind", ColumnType::kind},
          {"product", ColumnType::nullableCode}, {"customer", ColumnType::nullableCode}, {"channel", ColumnType::nullableCode}, {"time", ColumnType::nullableCode},
          {"scenario", ColumnType::name}, {"measure", ColumnType::name}},
         {"user_number", "position"},
         {{"product", productDimension, false}, {"customer", customerDimension, false},
          {"channel", channelDimension, false}, {"time", timeDimension, false}}, TableId::query},
    };
    return tables;
}

}  // namespace qemdata
