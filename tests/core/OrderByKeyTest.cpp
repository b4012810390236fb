#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/OrderByKey.h"

using namespace qem;

namespace {

// The cell pattern's entry kind: key and payload moved together as 8 bytes.
struct KeyedPayload {
    int32_t key;
    int32_t payload;
    bool operator==(const KeyedPayload&) const = default;
};
static_assert(sizeof(KeyedPayload) == 8);
const auto pairKey = [](const KeyedPayload& e) { return e.key; };

// A second, index-based rendering of the ordering steps, written for clarity:
// both sides of a cut recurse, and it counts how often the heap sort takes over.
struct ReferenceOrder {
    std::vector<KeyedPayload> v;
    int heapSorts = 0;

    void siftDown(size_t base, size_t h, size_t m, KeyedPayload entry) {
        const size_t top = h;
        size_t child = 2 * h + 2;
        for (; child < m; child = 2 * h + 2) {
            if (v[base + child].key < v[base + child - 1].key) --child;
            v[base + h] = v[base + child];
            h = child;
        }
        if (child == m) v[base + h] = v[base + m - 1], h = m - 1;
        for (; h > top && v[base + (h - 1) / 2].key < entry.key; h = (h - 1) / 2) v[base + h] = v[base + (h - 1) / 2];
        v[base + h] = entry;
    }

    void loop(size_t lo, size_t hi, int depth) {
        if (hi - lo <= 16) return;
        if (depth-- == 0) {
            ++heapSorts;
            for (size_t p = (hi - lo - 2) / 2 + 1; p-- > 0;) siftDown(lo, p, hi - lo, v[lo + p]);
            for (size_t len = hi - lo; len > 1; --len) {
                const KeyedPayload taken = v[lo + len - 1];
                v[lo + len - 1] = v[lo];
                siftDown(lo, 0, len - 1, taken);
            }
            return;
        }
        const int32_t a = v[lo].key, b = v[lo + (hi - lo) / 2].key, c = v[hi - 1].key;
        const int32_t pivot = a < b ? (b < c ? b : (a < c ? c : a)) : (a < c ? a : (b < c ? c : b));
        size_t i = lo, j = hi;
        for (;; ++i) {
            while (v[i].key < pivot) ++i;
            while (pivot < v[--j].key) {
            }
            if (!(i < j)) break;
            std::swap(v[i], v[j]);
        }
        loop(i, hi, depth);
        loop(lo, i, depth);
    }

    std::vector<KeyedPayload> run() {
        int log2 = 0;
        while ((size_t{2} << log2) <= v.size()) ++log2;
        if (!v.empty()) loop(0, v.size(), 2 * log2);
        for (size_t i = 1; i < v.size(); ++i) {
            const KeyedPayload entry = v[i];
            size_t h = i;
            if (i < 16 && entry.key < v[0].key) {  // guarded part: may become the first entry
                for (; h > 0; --h) v[h] = v[h - 1];
            } else {
                for (; entry.key < v[h - 1].key; --h) v[h] = v[h - 1];
            }
            v[h] = entry;
        }
        return v;
    }
};

std::vector<KeyedPayload> withPayloads(const std::vector<int32_t>& keys) {
    std::vector<KeyedPayload> v;
    for (size_t i = 0; i < keys.size(); ++i) v.push_back({keys[i], static_cast<int32_t>(i)});
    return v;
}

template <typename Sort>
std::vector<int32_t> payloadsAfter(const std::vector<int32_t>& keys, Sort sort) {
    std::vector<KeyedPayload> v = withPayloads(keys);
    sort(v);
    std::vector<int32_t> out;
    for (const KeyedPayload& e : v) out.push_back(e.payload);
    return out;
}

const auto ordered = [](std::vector<KeyedPayload>& v) { orderByKey(v.data(), v.data() + v.size(), pairKey); };
const auto byKey = [](const KeyedPayload& a, const KeyedPayload& b) { return a.key < b.key; };
const auto stableSorted = [](std::vector<KeyedPayload>& v) { std::stable_sort(v.begin(), v.end(), byKey); };

}  // namespace

TEST(OrderByKey, ShortAndDegenerateLists) {
    std::mt19937 rng(7);
    for (int n = 0; n <= 16; ++n) {  // insertion alone: equal keys keep their input order
        for (int trial = 0; trial < 50; ++trial) {
            std::vector<int32_t> keys;
            for (int i = 0; i < n; ++i) keys.push_back(static_cast<int32_t>(rng() % 4) - 2);
            ASSERT_EQ(payloadsAfter(keys, ordered), payloadsAfter(keys, stableSorted)) << "n=" << n;
        }
    }
    for (int n : {17, 100, 1000, 16333}) {
        std::vector<int32_t> up, identity;
        for (int i = 0; i < n; ++i) up.push_back(i - n / 2), identity.push_back(i);
        std::vector<int32_t> seen = payloadsAfter(std::vector<int32_t>(static_cast<size_t>(n), 42), ordered);
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, identity) << "all-equal keys: every entry present once";
        EXPECT_EQ(payloadsAfter(up, ordered), identity);
        EXPECT_EQ(payloadsAfter(std::vector<int32_t>(up.rbegin(), up.rend()), ordered),
                  std::vector<int32_t>(identity.rbegin(), identity.rend()));
    }
}

// Keys of entries 0..16 (the payload is the input position):
//   1 0 1 2 0 1 2 0 1 2 0 1 2 0 1 1 0
// Depth limit 8. Pivot = median of keys at 0, 8, 16 (1, 1, 0) = 1. Partition
// swaps the entry pairs (0,16) (2,15) (3,14) (5,13) (6,11) (8,10), then i
// stops at position 9 with j at 8: cut 9. Both sides hold at most 16 entries,
// so the loop ends with the order
//   16 1 15 14 4 13 11 7 10 | 9 8 6 12 5 3 2 0.
// Insertion of positions 1..15 moves each 0 left past the 1s and each 1 left
// past the 2s (never past an equal key); position 16 (entry 0, key 1) is then
// inserted without a guard, which gives the expected order below.
TEST(OrderByKey, HandTracedSeventeenEntriesWithRepeatedKeys) {
    const std::vector<int32_t> keys = {1, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 1, 0};
    const std::vector<int32_t> expected = {16, 1, 4, 13, 7, 10, 15, 14, 11, 8, 5, 2, 0, 9, 6, 12, 3};
    EXPECT_EQ(payloadsAfter(keys, ordered), expected);
    // The procedure is not stable: here entries with equal keys leave their input order (entry 16 comes
    // before entry 1, both with key 0), which a stable order never does.
    EXPECT_NE(payloadsAfter(keys, stableSorted), expected);
}

// Median-of-three killer: start from ascending ranks and undo, innermost first,
// the swap a degenerate partition of [lo, n) makes (lo + 1 with the middle), so
// that every pivot is the second smallest key and each cut removes two entries.
// The depth limit then runs out and the heap sort orders the rest, which holds
// only ranks above the degenerate levels; those are folded onto five keys.
TEST(OrderByKey, DepthLimitHandsOverToHeapSort) {
    for (int n : {64, 200, 1000, 2000}) {
        std::vector<int32_t> keys(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) keys[static_cast<size_t>(i)] = i;
        for (int lo = 2 * ((n - 4) / 2); lo >= 0; lo -= 2) std::swap(keys[lo + 1], keys[lo + (n - lo) / 2]);
        const int32_t levelRanks = 4 * static_cast<int32_t>(std::log2(n));
        for (int32_t& k : keys) k = k < levelRanks ? k : levelRanks + k % 5;

        ReferenceOrder ref{withPayloads(keys)};
        const std::vector<KeyedPayload> expected = ref.run();
        EXPECT_GT(ref.heapSorts, 0) << "n=" << n;
        std::vector<KeyedPayload> actual = withPayloads(keys);
        ordered(actual);
        EXPECT_EQ(actual, expected) << "n=" << n;
    }
}

// Both entry kinds: pairs, and pointers whose key is read through the pointee.
TEST(OrderByKey, AgreesWithReferenceOnRandomInputs) {
    std::mt19937 rng(2024);
    for (int n = 0; n <= 2000; ++n) {
        // Few distinct keys (negative ones too) up to the full 16-bit key range.
        const uint32_t spread = 1u + rng() % (n % 3 == 0 ? 8u : (n % 3 == 1 ? 200u : 65536u));
        std::vector<int32_t> keys;
        for (int i = 0; i < n; ++i) keys.push_back(static_cast<int32_t>(rng() % spread) - (n % 2 ? 100 : 0));
        const std::vector<KeyedPayload> expected = ReferenceOrder{withPayloads(keys)}.run();

        std::vector<KeyedPayload> pairs = withPayloads(keys);
        ordered(pairs);
        ASSERT_EQ(pairs, expected) << "pairs, n=" << n;

        std::vector<const int32_t*> pointers, expectedPointers;
        for (size_t i = 0; i < keys.size(); ++i) pointers.push_back(&keys[i]);
        for (const KeyedPayload& e : expected) expectedPointers.push_back(&keys[static_cast<size_t>(e.payload)]);
        orderByKey(pointers.data(), pointers.data() + pointers.size(), [](const int32_t* p) { return *p; });
        ASSERT_EQ(pointers, expectedPointers) << "pointers, n=" << n;
    }
}
