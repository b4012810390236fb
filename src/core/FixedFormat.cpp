#include "core/FixedFormat.h"

#include <cmath>
#include <cstdio>

namespace qem {

namespace fixed_format {

char* anyInt(char* out, int64_t value, int width) {
    char digits[24];
    char* const end = digits + sizeof digits;
    const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char* first = digitsBefore(end, magnitude);
    if (value < 0) *--first = '-';
    const int n = static_cast<int>(end - first);
    for (int pad = width - n; pad > 0; --pad) *out++ = ' ';
    memcpy(out, first, static_cast<size_t>(n));
    return out + n;
}

namespace {

char* byLibrary(char* out, const char* format, double value) {
    // Room for the widest double in fixed notation (309 integer digits).
    char buffer[400];
    const int n = snprintf(buffer, sizeof buffer, format, value);
    memcpy(out, buffer, static_cast<size_t>(n));
    return out + n;
}

}  // namespace

char* moneyByLibrary(char* out, double value) { return byLibrary(out, "%10.2lf", value); }

char* cost(char* out, double value) {
    if (!(value >= 0.0 && value < 1e6) || std::signbit(value)) return byLibrary(out, "%10.3lf", value);
    // value = mantissa * 2^-shift exactly; value * 1000 = scaled * 2^-shift,
    // with scaled below 2^63 because the mantissa has at most 53 bits.
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    const int biasedExponent = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    int shift;
    if (biasedExponent == 0) {
        shift = 1074;  // zero and subnormal numbers
    } else {
        mantissa |= uint64_t{1} << 52;
        shift = 1075 - biasedExponent;  // at least 33, as value < 2^20
    }
    const uint64_t scaled = mantissa * 1000;
    uint64_t thousandths = 0;
    if (shift < 64) {
        // Round to nearest, a tie to the even neighbour.
        thousandths = scaled >> shift;
        const uint64_t rest = scaled & ((uint64_t{1} << shift) - 1), half = uint64_t{1} << (shift - 1);
        if (rest > half || (rest == half && (thousandths & 1))) ++thousandths;
    }  // else value * 1000 < 2^63 / 2^64: below one half, rounds to 0
    // Up to 999999.999 the text fits the 10 columns; a value that rounds up
    // to 1000000.000 is one character wider.
    const int width = thousandths < 1000000000 ? 10 : 11;
    memset(out, ' ', 10);
    char* const end = out + width;
    const uint64_t fraction = thousandths % 1000;
    end[-1] = static_cast<char>('0' + fraction % 10);
    end[-2] = static_cast<char>('0' + fraction / 10 % 10);
    end[-3] = static_cast<char>('0' + fraction / 100);
    end[-4] = '.';
    digitsBefore(end - 4, thousandths / 1000);
    return end;
}

}  // namespace fixed_format

}  // namespace qem
