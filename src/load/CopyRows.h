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

#include "dataset/Tables.h"

namespace qemload {

using qemdata::MemberRef;

// Rows for COPY ... FROM STDIN, appended field by field. BinaryRows writes the
// binary COPY format (big-endian lengths and integers, numeric in base-10000
// digits); KeyedRows writes them as BinaryRows does and takes the sort key
// of each line besides. The line parsers are templates over these and over
// qemexport's TextRows, so all hold the same values by construction. ordinal() gives the rank of a value that is not a member in
// its table's key order (a cost line's scenario): only the key uses it.

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
