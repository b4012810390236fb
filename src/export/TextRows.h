#pragma once
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "dataset/Tables.h"

namespace qemexport {

using qemdata::MemberRef;

// The rows as delimited text for other databases, one line per row ending in
// "\n". CSV as RFC 4180 has it: fields separated by commas, a field quoted
// only when it holds a comma, a quote or a line end (its quotes doubled), a
// NULL an empty field. TSV as the text formats of databases read it:
// fields separated by tabs, a backslash, tab or line end in a value written
// \\, \t, \n or \r, a NULL written \N. Member codes pass the line checks
// as printable characters without blanks, and never need more than that.
class TextRows {
public:
    enum Format { csv, tsv };

    explicit TextRows(Format f) : separator(f == csv ? ',' : '\t'), format(f) { grow(1 << 20); }

    const char* data() const { return buffer.get(); }
    size_t size() const { return used; }
    void clear() {
        used = 0;
        open = false;
        started = 0;
    }
    // Ends the last row.
    void finish() {
        if (open) buffer[used - 1] = '\n';
        open = false;
    }
    // The rows started since the last clear().
    uint64_t rows() const { return started; }

    // Starts a row of `fields` fields of at most 64 characters each.
    void begin(int fields) {
        finish();
        room(static_cast<size_t>(fields) * 132 + 2);
        open = true;
        ++started;
    }
    void text(std::string_view s) {
        if (plain(s)) {
            copySmall(buffer.get() + used, s.data(), s.size());
            used += s.size();
        } else {
            escaped(s);
        }
        buffer[used++] = separator;
    }
    // A member's code: as it is where every code of its dimension is known
    // to need no quoting (plainMembers), else as text().
    void member(const MemberRef& m) {
        if (static_cast<unsigned>(m.dimension) < plainDimensions.size() && plainDimensions[m.dimension] &&
            m.code.size() <= 16) {
            copySmall(buffer.get() + used, m.code.data(), m.code.size());
            used += m.code.size();
            buffer[used++] = separator;
        } else {
            text(m.code);
        }
    }
    // Whether the codes of dimension d never need quoting or escaping in
    // this format (see needsNoQuoting), for member().
    void plainMembers(int d, bool plain) { plainDimensions.at(static_cast<size_t>(d)) = plain; }
    // Whether a value goes out in this format as it is.
    bool needsNoQuoting(std::string_view s) const { return plain(s); }
    void null() {
        if (format == tsv) {
            buffer[used++] = '\\';
            buffer[used++] = 'N';
        }
        buffer[used++] = separator;
    }
    void int16(int16_t v) { int32(v); }
    void int32(int32_t v) {
        used = static_cast<size_t>(std::to_chars(buffer.get() + used, buffer.get() + used + 12, v).ptr - buffer.get());
        buffer[used++] = separator;
    }
    void boolean(bool v) {
        buffer[used++] = v ? 't' : 'f';
        buffer[used++] = separator;
    }
    void ordinal(uint32_t, uint32_t) {}
    // A number given as scaled / 10^scale (scale 0 to 4), exactly.
    void decimal(int64_t scaled, int scale);
    // Bytes as they are (a header line, say).
    void raw(std::string_view bytes) {
        finish();
        room(bytes.size());
        memcpy(buffer.get() + used, bytes.data(), bytes.size());
        used += bytes.size();
    }

private:
    // Whether the value goes out as it is.
    // Up to 16 characters (a code) are looked at a word at a time.
    bool plain(std::string_view s) const {
        const char special = format == csv ? '"' : '\\';
        const size_t n = s.size();
        if (n >= 4 && n <= 16) {
            uint64_t head, tail;
            if (n >= 8) {
                memcpy(&head, s.data(), 8);
                memcpy(&tail, s.data() + n - 8, 8);
            } else {
                uint32_t h, t;
                memcpy(&h, s.data(), 4);
                memcpy(&t, s.data() + n - 4, 4);
                head = h | static_cast<uint64_t>(h) << 32;
                tail = t | static_cast<uint64_t>(t) << 32;
            }
            return !holds(head, special) && !holds(tail, special);
        }
        if (n == 0) return format == tsv;  // "" in CSV, told from a NULL
        for (const char c : s)
            if (c == separator || c == special || c == '\n' || c == '\r') return false;
        return true;
    }
    // Whether any byte of the word is the separator, `special`, or a line end.
    bool holds(uint64_t word, char special) const {
        constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        auto has = [&](char c) {
            const uint64_t v = word ^ (ones * static_cast<unsigned char>(c));
            return (v - ones) & ~v & highs;
        };
        return (has(separator) | has(special) | has('\n') | has('\r')) != 0;
    }
    void escaped(std::string_view s);
    // A short value (a code) copied by a few overlapping moves rather than a
    // call; never a byte beyond its end is read.
    static void copySmall(char* to, const char* from, size_t n) {
        if (n >= 8 && n <= 16) {
            uint64_t head, tail;
            memcpy(&head, from, 8);
            memcpy(&tail, from + n - 8, 8);
            memcpy(to, &head, 8);
            memcpy(to + n - 8, &tail, 8);
        } else if (n >= 4 && n < 8) {
            uint32_t head, tail;
            memcpy(&head, from, 4);
            memcpy(&tail, from + n - 4, 4);
            memcpy(to, &head, 4);
            memcpy(to + n - 4, &tail, 4);
        } else {
            memcpy(to, from, n);
        }
    }
    void room(size_t n) {
        if (capacity - used < n) grow(std::max(capacity * 2, used + n));
    }
    void grow(size_t bytes) {
        std::unique_ptr<char[]> bigger(new char[bytes]);
        if (used > 0) memcpy(bigger.get(), buffer.get(), used);
        buffer = std::move(bigger);
        capacity = bytes;
    }

    char separator;
    Format format;
    std::unique_ptr<char[]> buffer;
    size_t capacity = 0, used = 0;
    bool open = false;
    uint64_t started = 0;
    std::array<bool, 8> plainDimensions{};
};

}  // namespace qemexport
