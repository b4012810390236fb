#pragma once
#include <cstdint>
#include <cstring>

// Fast formatting of the fixed-width columns of the large fact files. Each
// helper appends exactly what the printf conversion named beside it produces,
// and returns the position after it.
namespace fixed_format {

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

// "%<width>d" (and "%<width>ld" for values that fit 32 bits).
inline char* rightInt(char* out, int64_t value, int width) {
    char digits[24];
    int n = 0;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[n++] = '-';
    for (int pad = width - n; pad > 0; --pad) *out++ = ' ';
    while (n > 0) *out++ = digits[--n];
    return out;
}

// "%10.2lf" for an amount; exact for every whole number of dollars below
// 10^15, and falls back to the library for anything else.
char* money(char* out, double value);

// "%10.3lf" through the library (the cost files are small).
char* cost(char* out, double value);

}  // namespace fixed_format
