#pragma once
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace qemdata {

// Member code -> member position, for codes of up to 16 characters. Open
// addressing over a power-of-two table, keyed by the code's bytes padded with
// NULs (codes never contain one); the fact files look up several codes per
// line, so the look-up stays a few loads and compares.
class CodeIndex {
public:
    // Prepares room for n codes; call before the first add.
    void reserve(size_t n) {
        size_t capacity = 16;
        // At most half full: short probes.
        while (capacity < n * 2) capacity *= 2;
        slots.assign(capacity, Slot{});
        mask = capacity - 1;
    }

    // Adds code -> position, with a tag of the caller's (a member's level,
    // say: looked up with the position, it costs no second look-up); returns
    // the position already stored for the code, or -1 when the code is new.
    int32_t add(std::string_view code, int32_t position, int32_t tag = 0) {
        const Key key = keyOf(code);
        for (size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            if (slots[i].position < 0) {
                slots[i] = Slot{key, position, tag};
                return -1;
            }
            if (slots[i].key.a == key.a && slots[i].key.b == key.b) return slots[i].position;
        }
    }

    // Position of the code, or -1.
    int32_t find(std::string_view code) const {
        int32_t tag;
        return find(code, tag);
    }
    // Position of the code and its tag, or -1.
    int32_t find(std::string_view code, int32_t& tag) const {
        if (code.size() > 16 || slots.empty()) return -1;
        const Key key = keyOf(code);
        for (size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            if (slots[i].position < 0) return -1;
            if (slots[i].key.a == key.a && slots[i].key.b == key.b) {
                tag = slots[i].tag;
                return slots[i].position;
            }
        }
    }

private:
    struct Key {
        uint64_t a = 0, b = 0;
    };
    struct Slot {
        Key key;
        int32_t position = -1;
        int32_t tag = 0;
    };

    // The code's bytes padded with NULs, put together in registers: loads
    // that overlap where the code is shorter than a word, never a byte
    // beyond its end (a small copy through memory would stall the loads
    // that follow it).
    static Key keyOf(std::string_view code) {
        static_assert(std::endian::native == std::endian::little, "keyOf puts bytes together in little-endian order");
        const char* p = code.data();
        const size_t n = code.size() < 16 ? code.size() : 16;
        Key key;
        if (n >= 8) {
            key.a = load8(p);
            if (n > 8) key.b = load8(p + n - 8) >> (8 * (16 - n));
        } else if (n >= 4) {
            key.a = static_cast<uint64_t>(load4(p)) | static_cast<uint64_t>(load4(p + n - 4)) << (8 * (n - 4));
        } else {
            for (size_t i = 0; i < n; ++i) key.a |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
        }
        return key;
    }
    static uint64_t load8(const char* p) {
        uint64_t v;
        memcpy(&v, p, 8);
        return v;
    }
    static uint32_t load4(const char* p) {
        uint32_t v;
        memcpy(&v, p, 4);
        return v;
    }
    static size_t hash(const Key& k) {
        const uint64_t h = (k.a * 0x9E3779B97F4A7C15ull) ^ (k.b * 0xC2B2AE3D27D4EB4Full);
        return static_cast<size_t>(h ^ (h >> 29));
    }

    std::vector<Slot> slots;
    size_t mask = 0;
};

}  // namespace qemdata
