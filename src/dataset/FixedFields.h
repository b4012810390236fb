#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "dataset/DataSetError.h"

namespace qemdata {

// Reading the fixed-width columns of the data set's lines. A field is named by
// its first column (1-based, as the line layouts count) and its width; every
// reader checks the field strictly and throws a LineError naming the columns
// and the offending text.
namespace fixed_fields {

struct Field {
    const char* name;
    int column, width;  // first column, 1-based
};

inline std::string describe(const Field& f, const char* line) {
    return "columns " + std::to_string(f.column) + "-" + std::to_string(f.column + f.width - 1) + " (" + f.name +
           ") '" + std::string(line + f.column - 1, f.width) + "'";
}

[[noreturn]] inline void fail(const Field& f, const char* line, const char* what) {
    throw LineError(describe(f, line) + " " + what);
}

// True when every character of the field is a blank.
inline bool blank(const Field& f, const char* line) {
    const char* p = line + f.column - 1;
    for (int i = 0; i < f.width; ++i)
        if (p[i] != ' ') return false;
    return true;
}

// Whether the bytes p[0 .. n), 4 <= n <= 16, are all printable characters
// other than a blank (33 to 126): a word at a time, in overlapping words.
inline bool allPrintable(const char* p, int n) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto bad = [](uint64_t w) {
        const uint64_t below = (w - ones * 0x21) & ~w & highs;  // a byte under 33
        const uint64_t above = ((w + ones * (127 - 126)) | w) & highs;  // a byte over 126
        return (below | above) != 0;
    };
    uint64_t head, tail;
    if (n >= 8) {
        memcpy(&head, p, 8);
        memcpy(&tail, p + n - 8, 8);
    } else {
        uint32_t h, t;
        memcpy(&h, p, 4);
        memcpy(&t, p + n - 4, 4);
        head = h | static_cast<uint64_t>(h) << 32;
        tail = t | static_cast<uint64_t>(t) << 32;
    }
    return !bad(head) && !bad(tail);
}

// Text of a "%<width>s" (right) or "%-<width>s" (left) column: blanks on one
// side only, none inside, and at least one character. Returns "" for an
// all-blank field when optional is set.
inline std::string_view text(const Field& f, const char* line, bool leftJustified, bool optional = false) {
    const char* p = line + f.column - 1;
    // The common case, a field that the text fills: no blank at all.
    if (f.width >= 4 && f.width <= 16 && allPrintable(p, f.width)) return {p, static_cast<size_t>(f.width)};
    int begin = 0, end = f.width;
    if (leftJustified)
        while (end > 0 && p[end - 1] == ' ') --end;
    else
        while (begin < end && p[begin] == ' ') ++begin;
    if (begin == end) {
        if (optional) return {};
        fail(f, line, "is blank");
    }
    for (int i = begin; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c <= ' ' || c >= 127) fail(f, line, leftJustified ? "is not one left-justified word" : "is not one right-justified word");
    }
    return {p + begin, static_cast<size_t>(end - begin)};
}

// A right-justified decimal number with exactly `decimals` digits after the
// point ("%10d" when decimals is 0, "%10.2lf", "%10.3lf"), returned scaled by
// 10^decimals. The column width keeps every value far inside 64 bits.
inline int64_t number(const Field& f, const char* line, int decimals) {
    const char* p = line + f.column - 1;
    int i = 0;
    while (i < f.width && p[i] == ' ') ++i;
    bool negative = false;
    if (i < f.width && p[i] == '-') {
        negative = true;
        ++i;
    }
    int64_t value = 0;
    int digits = 0;
    while (i < f.width && p[i] >= '0' && p[i] <= '9') {
        value = value * 10 + (p[i++] - '0');
        ++digits;
    }
    bool ok = digits > 0;
    if (decimals > 0) {
        ok = ok && i < f.width && p[i] == '.';
        ++i;
        for (int d = 0; ok && d < decimals; ++d, ++i) {
            ok = i < f.width && p[i] >= '0' && p[i] <= '9';
            if (ok) value = value * 10 + (p[i] - '0');
        }
    }
    if (!ok || i != f.width) {
        if (decimals == 0) fail(f, line, "is not a right-justified whole number");
        fail(f, line, decimals == 2 ? "is not a right-justified number with 2 decimals"
                                    : "is not a right-justified number with 3 decimals");
    }
    return negative ? -value : value;
}

// A "%10d" column that must fit a 32-bit integer.
inline int32_t int32(const Field& f, const char* line) {
    const int64_t value = number(f, line, 0);
    if (value < INT32_MIN || value > INT32_MAX) fail(f, line, "does not fit a 32-bit integer");
    return static_cast<int32_t>(value);
}

}  // namespace fixed_fields

}  // namespace qemdata
