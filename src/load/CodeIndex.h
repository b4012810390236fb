#pragma once
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace qemload {

// Member code -> member position, for codes of up to 16 characters. Open
// addressing over a power-of-two table, keyed by the code's bytes padded with
// NULs (codes never contain one); the fact files look up several codes per
// line, so the look-up stays a few loads and compares.
class CodeIndex {
public:
    // Prepares room for n codes; call before the first add.
    void reserve(size_t n) {
        size_t capacity = 16;
        while (capacity < n * 2) capacity *= 2;
        slots.assign(capacity, Slot{});
        mask = capacity - 1;
    }

    // Adds code -> position; returns the position already stored for the code,
    // or -1 when the code is new.
    int32_t add(std::string_view code, int32_t position) {
        const Key key = keyOf(code);
        for (size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            if (slots[i].position < 0) {
                slots[i] = Slot{key, position};
                return -1;
            }
            if (slots[i].key.a == key.a && slots[i].key.b == key.b) return slots[i].position;
        }
    }

    // Position of the code, or -1.
    int32_t find(std::string_view code) const {
        if (code.size() > 16 || slots.empty()) return -1;
        const Key key = keyOf(code);
        for (size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            if (slots[i].position < 0) return -1;
            if (slots[i].key.a == key.a && slots[i].key.b == key.b) return slots[i].position;
        }
    }

private:
    struct Key {
        uint64_t a = 0, b = 0;
    };
    struct Slot {
        Key key;
        int32_t position = -1;
    };

    static Key keyOf(std::string_view code) {
        char bytes[16] = {};
        memcpy(bytes, code.data(), code.size() < 16 ? code.size() : 16);
        Key key;
        memcpy(&key.a, bytes, 8);
        memcpy(&key.b, bytes + 8, 8);
        return key;
    }
    static size_t hash(const Key& k) {
        const uint64_t h = (k.a * 0x9E3779B97F4A7C15ull) ^ (k.b * 0xC2B2AE3D27D4EB4Full);
        return static_cast<size_t>(h ^ (h >> 29));
    }

    std::vector<Slot> slots;
    size_t mask = 0;
};

}  // namespace qemload
