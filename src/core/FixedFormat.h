#pragma once
#include <cstdint>
#include <cstring>

namespace qem {

// Fast formatting of the fixed-width columns of the output files. Each helper
// appends exactly what the printf conversion named beside it produces, and
// returns the position after it.
namespace fixed_format {

// "%<N>s" and "%-<N>s" of a text of exactly N characters (a member code of
// known length: 12 for Channel, Customer and Product codes, 6 for a month):
// the text itself, copied without measuring it.
template <size_t N>
inline char* code(char* out, const char* text) {
    memcpy(out, text, N);
    return out + N;
}

// "%<width>s": right-justified, padded on the left with blanks.
inline char* rightText(char* out, const char* text, int width) {
    const size_t len = strlen(text);
    if (len < static_cast<size_t>(width)) {
        memset(out, ' ', width - len);
        out += width - len;
    }
    memcpy(out, text, len);
    return out + len;
}

// "%-<width>s": left-justified, padded on the right with blanks.
inline char* leftText(char* out, const char* text, int width) {
    const size_t len = strlen(text);
    memcpy(out, text, len);
    out += len;
    if (len < static_cast<size_t>(width)) {
        memset(out, ' ', width - len);
        out += width - len;
    }
    return out;
}

// Digits of magnitude written backward, ending just before end; returns the first digit.
inline char* digitsBefore(char* end, uint64_t magnitude) {
    do {
        *--end = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    return end;
}

// "%4d" of every value from 0 to 999: the counts and amounts of the data set
// are copied from here as four characters.
struct SmallNumberTable {
    char text[1000][4];
    constexpr SmallNumberTable() : text() {
        for (int v = 0; v < 1000; ++v) {
            text[v][0] = ' ';
            text[v][1] = v >= 100 ? static_cast<char>('0' + v / 100) : ' ';
            text[v][2] = v >= 10 ? static_cast<char>('0' + v / 10 % 10) : ' ';
            text[v][3] = static_cast<char>('0' + v % 10);
        }
    }
};
inline constexpr SmallNumberTable smallNumbers;

// value (0 .. 999) right-justified in the Width characters at out.
template <int Width>
inline void smallNumber(char* out, int64_t value) {
    static_assert(Width >= 4);
    memset(out, ' ', Width - 4);
    memcpy(out + Width - 4, smallNumbers.text[value], 4);
}

// "%<width>d" (and "%<width>ld") of any value, also one wider than the column.
char* anyInt(char* out, int64_t value, int width);

// "%<Width>d" (and "%<Width>ld"). A value of 0 .. 10^Width - 1 (any value
// that is not negative, from 19 columns on) fills exactly the column: blanks,
// then its digits; anything else goes through anyInt().
template <int Width>
inline char* rightInt(char* out, int64_t value) {
    static_assert(Width >= 1);
    constexpr bool everyValueFits = Width >= 19;
    constexpr int64_t limit = [] {
        int64_t p = 1;
        for (int i = 0; i < Width && i < 18; ++i) p *= 10;
        return p;
    }();
    if (value < 0 || (!everyValueFits && value >= limit)) return anyInt(out, value, Width);
    if (Width >= 4 && value < 1000) {
        smallNumber<(Width >= 4 ? Width : 4)>(out, value);
    } else {
        memset(out, ' ', Width);
        digitsBefore(out + Width, static_cast<uint64_t>(value));
    }
    return out + Width;
}

// "%10.2lf" of a value the fast path of wholeMoney() does not take.
char* moneyByLibrary(char* out, double value);

// "%10.2lf" of an amount of whole dollars, printed as the double it converts
// to. From 0 to 9,999,999 (every amount of the data set) that is its digits
// right-justified in 7 columns and ".00"; anything else is printed by the
// library.
inline char* wholeMoney(char* out, int64_t dollars) {
    if (dollars < 0 || dollars > 9999999) return moneyByLibrary(out, static_cast<double>(dollars));
    if (dollars < 1000) {
        smallNumber<7>(out, dollars);
    } else {
        memset(out, ' ', 7);
        digitsBefore(out + 7, static_cast<uint64_t>(dollars));
    }
    memcpy(out + 7, ".00", 3);
    return out + 10;
}

// "%10.3lf" of a cost. A value from 0 up to (not including) 1,000,000 is
// rounded to thousandths from its exact binary value, halfway cases to even
// as the library does; anything else is printed by the library.
char* cost(char* out, double value);

}  // namespace fixed_format

}  // namespace qem
