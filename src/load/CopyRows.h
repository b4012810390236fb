#pragma once
#include <cstdint>
#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qemload {

// Rows for COPY ... FROM STDIN, appended field by field. BinaryRows writes the
// binary COPY format (big-endian lengths and integers, numeric in base-10000
// digits); CsvRows writes the same rows as CSV; KeyedRows writes them as
// BinaryRows does and takes the sort key of each line besides. The line
// parsers are templates over the three, so all hold the same values by
// construction. ordinal() gives the rank of a value that is not a member in
// its table's key order (a cost line's scenario): only the key uses it.

// A member column's value: its code, with the member's dimension and position.
struct MemberRef {
    std::string_view code;
    int dimension;
    int32_t position;
};

class BinaryRows {
public:
    BinaryRows() { grow(1 << 20); }

    static std::string header() { return std::string("PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0", 19); }
    static std::string trailer() { return std::string("\377\377", 2); }

    const char* data() const { return buffer.get(); }
    size_t size() const { return used; }
    void clear() { used = 0; }
    // Room for `bytes` in all, set aside at once: memory never written
    // takes no room.
    void reserve(size_t bytes) {
        if (bytes > capacity) grow(bytes);
    }
    // Empties the rows and gives their memory back.
    void release() {
        buffer.reset();
        capacity = used = 0;
        grow(1 << 20);
    }
    void raw(std::string_view bytes) {
        room(bytes.size());
        memcpy(buffer.get() + used, bytes.data(), bytes.size());
        used += bytes.size();
    }

    // Starts a row of `fields` fields; no field is longer than 64 bytes here.
    void begin(int fields) {
        room(8 + static_cast<size_t>(fields) * 72);
        put16(static_cast<uint16_t>(fields));
    }
    void text(std::string_view s) {
        put32(static_cast<uint32_t>(s.size()));
        memcpy(buffer.get() + used, s.data(), s.size());
        used += s.size();
    }
    void member(const MemberRef& m) { text(m.code); }
    void null() { put32(0xFFFFFFFFu); }
    void int16(int16_t v) {
        put32(2);
        put16(static_cast<uint16_t>(v));
    }
    void int32(int32_t v) {
        put32(4);
        put32(static_cast<uint32_t>(v));
    }
    void boolean(bool v) {
        put32(1);
        buffer[used++] = v ? 1 : 0;
    }
    void ordinal(uint32_t, uint32_t) {}
    // A number given as scaled / 10^scale (scale 0 to 4), exactly, as numeric.
    void decimal(int64_t scaled, int scale);

private:
    // Room for n more bytes: twice the memory up to 64 MB, then a quarter
    // more at a time, so that many rows held (a sort run) take little more
    // than their size. The memory is not cleared: pages never written stay
    // untouched.
    void room(size_t n) {
        if (capacity - used < n) grow(std::max(capacity < (64u << 20) ? capacity * 2 : capacity + capacity / 4, used + n));
    }
    void grow(size_t bytes) {
        std::unique_ptr<char[]> bigger(new char[bytes]);
        if (used > 0) memcpy(bigger.get(), buffer.get(), used);
        buffer = std::move(bigger);
        capacity = bytes;
    }
    void put16(uint16_t v) {
        buffer[used++] = static_cast<char>(v >> 8);
        buffer[used++] = static_cast<char>(v);
    }
    void put32(uint32_t v) {
        put16(static_cast<uint16_t>(v >> 16));
        put16(static_cast<uint16_t>(v));
    }

    std::unique_ptr<char[]> buffer;
    size_t capacity = 0, used = 0;
};

class CsvRows {
public:
    const char* data() const { return out.data(); }
    size_t size() const { return out.size(); }
    void clear() { out.clear(); }

    void begin(int) {
        if (!out.empty() && out.back() == ',') out.back() = '\n';
    }
    // Member codes and names hold letters and digits only: no quoting needed.
    void text(std::string_view s) { out.append(s).push_back(','); }
    void member(const MemberRef& m) { text(m.code); }
    void null() { out.push_back(','); }
    void int16(int16_t v) { int32(v); }
    void int32(int32_t v) { out.append(std::to_string(v)).push_back(','); }
    void boolean(bool v) { out.append(v ? "t," : "f,"); }
    void ordinal(uint32_t, uint32_t) {}
    void decimal(int64_t scaled, int scale);
    // Ends the last row.
    void finish() {
        if (!out.empty() && out.back() == ',') out.back() = '\n';
    }

private:
    std::string out;
};

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

// The rows of lines, as BinaryRows writes them, with each line's sort key:
// the order its rows take in their table's primary key. The key is the
// key columns of the line's first row in mixed radix: a member as the rank of
// its code among its dimension's codes in byte order (the order of the "C"
// collation), another key column by its ordinal(). A line's rows (the 17
// months of a histinv line) follow one another in key order already.
class KeyedRows : public BinaryRows {
public:
    // ranks[d][position]: the rank of member position's code in dimension d.
    explicit KeyedRows(const std::vector<std::vector<uint32_t>>& r) : ranks(r) {}

    void startLine() {
        rows = 0;
        key = 0;
    }
    uint64_t lineKey() const { return key; }

    void begin(int fields) {
        ++rows;
        BinaryRows::begin(fields);
    }
    void member(const MemberRef& m) {
        if (rows == 1) key = key * ranks[m.dimension].size() + ranks[m.dimension][m.position];
        BinaryRows::member(m);
    }
    void ordinal(uint32_t value, uint32_t count) {
        if (rows == 1) key = key * count + value;
    }

private:
    const std::vector<std::vector<uint32_t>>& ranks;
    int rows = 0;
    uint64_t key = 0;
};

}  // namespace qemload
