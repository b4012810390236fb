#pragma once
#include <cstdint>

namespace qem {

class CellPattern;
struct Member;

// Random choices shared by the query kinds. All draw from the global stream;
// the number and order of their draws are fixed.
const char* queryScenarioName(int32_t i);
int32_t randomChannelLeaf();
int32_t randomInRange(int32_t lo, int32_t hi);
int32_t randomBudgetMonth();
// A quarter (75%) or year (25%) of the months 0 .. 17.
int32_t pickHistoryPeriod();
// Origins of random blocks above the data region, where no fact file has data.
int32_t emptyCustomerBlock();
int32_t emptyProductBlock();
// A product and a customer of which at least one lies in an empty block.
void pickEmptyCell(int32_t& product, int32_t& customer, bool emptyProduct, bool emptyCustomer);
// A cell that carries data for the channel (a cell of the sales walk).
void pickDataCell(int32_t channel, int32_t& product, int32_t& customer, const CellPattern** pattern);
// A random ancestor of a product, at most a Division.
const Member& raiseProductLevel(int32_t position);

}  // namespace qem
