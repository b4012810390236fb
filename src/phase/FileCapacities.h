#pragma once
#include <cstdint>

namespace qem {

// Buffer capacity, in records, of the writers of each output file (of each of
// the four writers, for the files that four threads write).
namespace capacity {
constexpr int32_t productFiles = 16333;   // prodhier, prodtree
constexpr int32_t customerFiles = 1333;   // custhier, custtree
constexpr int32_t channelFiles = 133;     // chanhier, chantree
constexpr int32_t timeHierarchy = 24;     // timehier
constexpr int32_t timeTree = 32;          // timetree
constexpr int32_t sales = 16333;          // histsale, currsale
constexpr int32_t historicalInventory = 8333;
constexpr int32_t costFiles = 8333;       // custship, prodcos
constexpr int32_t budget = 16333;
constexpr int32_t currentInventory = 8333;
constexpr int32_t queryFiles = 8333;      // qry001 ...
}  // namespace capacity

}  // namespace qem
