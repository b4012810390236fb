#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>

namespace qem {

// The one ordering procedure used for every random order: an introspective
// sort (median-of-three quicksort with a depth limit, heap sort when the limit
// runs out, a final insertion pass). It is not stable, and the order in which
// entries with equal keys end up is part of every output file, so its steps are
// fixed and no other sort may stand in for it.
//
// KeyOf maps an entry to its signed 32-bit key; entries move whole.
namespace order_detail {

constexpr std::ptrdiff_t threshold = 16;

template <typename Entry, typename KeyOf>
void siftDown(Entry* first, std::ptrdiff_t hole, std::ptrdiff_t len, Entry value, KeyOf key) {
    const std::ptrdiff_t top = hole;
    std::ptrdiff_t child = 2 * hole + 2;
    while (child < len) {
        if (key(first[child]) < key(first[child - 1])) --child;
        first[hole] = std::move(first[child]);
        hole = child;
        child = 2 * hole + 2;
    }
    if (child == len) {
        first[hole] = std::move(first[len - 1]);
        hole = len - 1;
    }
    const int32_t vkey = key(value);
    std::ptrdiff_t parent = (hole - 1) / 2;
    while (hole > top && key(first[parent]) < vkey) {
        first[hole] = std::move(first[parent]);
        hole = parent;
        parent = (hole - 1) / 2;
    }
    first[hole] = std::move(value);
}

template <typename Entry, typename KeyOf>
void heapSort(Entry* first, Entry* last, KeyOf key) {
    std::ptrdiff_t len = last - first;
    if (len >= 2) {
        for (std::ptrdiff_t parent = (len - 2) / 2;; --parent) {
            siftDown(first, parent, len, Entry(first[parent]), key);
            if (parent == 0) break;
        }
    }
    while (len > 1) {
        Entry taken = std::move(first[len - 1]);
        first[len - 1] = std::move(first[0]);
        --len;
        siftDown(first, std::ptrdiff_t(0), len, std::move(taken), key);
    }
}

template <typename Entry, typename KeyOf>
Entry* partition(Entry* first, Entry* last, int32_t pivot, KeyOf key) {
    for (;;) {
        while (key(*first) < pivot) ++first;
        --last;
        while (pivot < key(*last)) --last;
        if (!(first < last)) return first;
        std::swap(*first, *last);
        ++first;
    }
}

template <typename Entry, typename KeyOf>
int32_t medianKey(const Entry& a, const Entry& b, const Entry& c, KeyOf key) {
    const int32_t ka = key(a), kb = key(b), kc = key(c);
    if (ka < kb) {
        if (kb < kc) return kb;
        if (ka < kc) return kc;
        return ka;
    }
    if (ka < kc) return ka;
    if (kb < kc) return kc;
    return kb;
}

template <typename Entry, typename KeyOf>
void partitionLoop(Entry* first, Entry* last, int depthLimit, KeyOf key) {
    while (last - first > threshold) {
        if (depthLimit == 0) {
            heapSort(first, last, key);
            return;
        }
        --depthLimit;
        const int32_t pivot = medianKey(*first, *(first + (last - first) / 2), *(last - 1), key);
        Entry* cut = partition(first, last, pivot, key);
        partitionLoop(cut, last, depthLimit, key);
        last = cut;
    }
}

// Moves entry i left while its key is below its left neighbour's; relies on a
// smaller or equal key somewhere to its left.
template <typename Entry, typename KeyOf>
void unguardedInsert(Entry* i, KeyOf key) {
    Entry value = std::move(*i);
    const int32_t vkey = key(value);
    Entry* next = i - 1;
    while (vkey < key(*next)) {
        *i = std::move(*next);
        i = next;
        --next;
    }
    *i = std::move(value);
}

template <typename Entry, typename KeyOf>
void insertionSort(Entry* first, Entry* last, KeyOf key) {
    if (first == last) return;
    for (Entry* i = first + 1; i != last; ++i) {
        if (key(*i) < key(*first)) {
            Entry value = std::move(*i);
            for (Entry* p = i; p != first; --p) *p = std::move(*(p - 1));
            *first = std::move(value);
        } else {
            unguardedInsert(i, key);
        }
    }
}

inline int floorLog2(std::ptrdiff_t n) {
    int k = 0;
    while (n > 1) {
        n >>= 1;
        ++k;
    }
    return k;
}

}  // namespace order_detail

template <typename Entry, typename KeyOf>
void orderByKey(Entry* first, Entry* last, KeyOf key) {
    using namespace order_detail;
    const std::ptrdiff_t n = last - first;
    if (n == 0) return;
    partitionLoop(first, last, 2 * floorLog2(n), key);
    if (n > threshold) {
        insertionSort(first, first + threshold, key);
        for (Entry* i = first + threshold; i != last; ++i) unguardedInsert(i, key);
    } else {
        insertionSort(first, last, key);
    }
}

}  // namespace qem
