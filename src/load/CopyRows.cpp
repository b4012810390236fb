#include "load/CopyRows.h"

namespace qemload {

using namespace qemdata;

namespace {

const int64_t powersOfTen[] = {1, 10, 100, 1000, 10000};

}  // namespace

void BinaryRows::decimal(int64_t scaled, int scale) {
    // numeric: ndigits, weight (of the first digit, in base 10000), sign,
    // display scale, then the base-10000 digits; zeros at both ends dropped.
    const bool negative = scaled < 0;
    uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    const uint64_t whole = magnitude / static_cast<uint64_t>(powersOfTen[scale]);
    const uint16_t fraction =
        static_cast<uint16_t>(magnitude % static_cast<uint64_t>(powersOfTen[scale]) * powersOfTen[4 - scale]);
    uint16_t digits[8];
    int count = 0;
    uint16_t reversed[6];
    int wholeDigits = 0;
    for (uint64_t w = whole; w != 0; w /= 10000) reversed[wholeDigits++] = static_cast<uint16_t>(w % 10000);
    for (int i = wholeDigits - 1; i >= 0; --i) digits[count++] = reversed[i];
    int weight = wholeDigits - 1;
    digits[count++] = fraction;
    int first = 0;
    while (first < count && digits[first] == 0) {
        ++first;
        --weight;
    }
    while (count > first && digits[count - 1] == 0) --count;
    const int n = count - first;
    if (n == 0) weight = 0;
    put32(static_cast<uint32_t>(8 + 2 * n));
    put16(static_cast<uint16_t>(n));
    put16(static_cast<uint16_t>(static_cast<int16_t>(weight)));
    put16(n > 0 && negative ? 0x4000 : 0);
    put16(static_cast<uint16_t>(scale));
    for (int i = first; i < count; ++i) put16(digits[i]);
}

}  // namespace qemload
