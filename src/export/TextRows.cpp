#include "export/TextRows.h"

namespace qemexport {

void TextRows::decimal(int64_t scaled, int scale) {
    const bool negative = scaled < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    char digits[24];
    const int n = static_cast<int>(std::to_chars(digits, digits + sizeof digits, magnitude).ptr - digits);
    char* out = buffer.get() + used;
    if (negative) *out++ = '-';
    // At least one digit before the point; short copies by hand, not by call.
    const int whole = n - scale;
    if (whole <= 0) {
        *out++ = '0';
    } else {
        for (int i = 0; i < whole; ++i) *out++ = digits[i];
    }
    if (scale > 0) {
        *out++ = '.';
        for (int pad = -whole; pad > 0; --pad) *out++ = '0';
        for (int i = whole > 0 ? whole : 0; i < n; ++i) *out++ = digits[i];
    }
    *out++ = separator;
    used = static_cast<size_t>(out - buffer.get());
}

void TextRows::escaped(std::string_view s) {
    room(2 * s.size() + 3);
    char* out = buffer.get() + used;
    if (format == csv) {
        // Quoted, the quotes doubled; a line end stays as it is.
        *out++ = '"';
        for (const char c : s) {
            if (c == '"') *out++ = '"';
            *out++ = c;
        }
        *out++ = '"';
    } else {
        for (const char c : s) {
            const char* escape = c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
            if (escape) {
                memcpy(out, escape, 2);
                out += 2;
            } else {
                *out++ = c;
            }
        }
    }
    used = static_cast<size_t>(out - buffer.get());
}

}  // namespace qemexport
