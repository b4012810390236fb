#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// XXH3-64 compiled from the header (the library's code for the short inputs
// that lines are, without a call into the shared library and its dispatch).
#ifndef XXH_INLINE_ALL
#define XXH_INLINE_ALL
#endif
#include <xxhash.h>

namespace qem {

// The content sum of a file: the sum, modulo 2^64, of a 64-bit hash of every
// line. A sum does not depend on the order of the lines, so it is the same
// however threads interleave their buffers, and the sums of a file's parts
// add up to the file's. The columns that hold random inventory values are
// read as spaces, so a file's sum depends only on the answers and the seed.
//
// The line hash depends on the manifest's version:
//   version 3 (written now): XXH3-64 (seed 0, the default secret) of the line's
//     n bytes, its line end included, its blank columns replaced by spaces;
//     any language's xxHash binding computes it.
//   version 2: the keyed multiply-add below. The bytes (line end included,
//     blank columns as spaces), padded with zero bytes to a multiple of 16,
//     are read as little-endian 64-bit words w0, w1, ...; with the 16 keys,
//       a = sum over i of (w[2i] + k[2i mod 16]) * (w[2i+1] + k[2i+1 mod 16])
//     (each sum of a word and a key modulo 2^64, each product to 128 bits, a
//     modulo 2^128), and the hash is mix(low(a) xor high(a) xor n * K), where
//     K = 0x9E3779B97F4A7C15 and mix is the finaliser x ^= x >> 33;
//     x *= 0xFF51AFD7ED558CCD; x ^= x >> 33; x *= 0xC4CEB9FE1A85EC53;
//     x ^= x >> 33 (all modulo 2^64). The keys are the first 16 outputs of
//     splitmix64 from the state 0.
//   version 1 carries no content sums.
enum class LineHash : uint8_t {
    keyed,  // manifest version 2
    xxh3,   // manifest version 3
};
// The line hash of the manifests written now.
inline constexpr LineHash currentLineHash = LineHash::xxh3;

// Columns of a line read as spaces for its hash: [from, to), or none.
struct BlankColumns {
    size_t from = 0, to = 0;
    bool any() const { return to > from; }
};

namespace content {

inline constexpr uint64_t keys[16] = {
    0xE220A8397B1DCDAFull, 0x6E789E6AA1B965F4ull, 0x06C45D188009454Full, 0xF88BB8A8724C81ECull,
    0x1B39896A51A8749Bull, 0x53CB9F0C747EA2EAull, 0x2C829ABE1F4532E1ull, 0xC584133AC916AB3Cull,
    0x3EE5789041C98AC3ull, 0xF3B8488C368CB0A6ull, 0x657EECDD3CB13D09ull, 0xC2D326E0055BDEF6ull,
    0x8621A03FE0BBDB7Bull, 0x8E1F7555983AA92Full, 0xB54E0F1600CC4D19ull, 0x84BB3F97971D80ABull};

inline uint64_t load(const unsigned char* p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w;  // little-endian hosts only (checked below)
}

inline uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return x;
}

// The bytes [from, to) of a line read as spaces: `word` gives the word at a
// byte offset with them applied. No blank columns: from == to.
struct Blanking {
    size_t from = 0, to = 0;
    uint64_t word(uint64_t w, size_t at) const {
        if (at + 8 <= from || at >= to) return w;
        const size_t first = from > at ? from - at : 0, last = to < at + 8 ? to - at : 8;
        const uint64_t mask = (last - first == 8 ? ~0ull : (1ull << 8 * (last - first)) - 1) << 8 * first;
        return (w & ~mask) | (0x2020202020202020ull & mask);
    }
};

// The hash of n bytes at p, with the blanking `blank` when `blanked`. Reads
// up to 15 bytes past the end when `slack` (the caller guarantees they can
// be read), otherwise copies the last partial pair of words.
template <bool slack, bool blanked = false>
inline uint64_t hashBytes(const unsigned char* p, size_t n, Blanking blank = {}) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "words are read as little-endian");
    auto word = [&](uint64_t w, size_t at) { return blanked ? blank.word(w, at) : w; };
    unsigned __int128 a = 0;
    size_t i = 0, pair = 0;
    for (; i + 16 <= n; i += 16, pair = (pair + 2) & 15)
        a += static_cast<unsigned __int128>(word(load(p + i), i) + keys[pair]) *
             (word(load(p + i + 8), i + 8) + keys[pair + 1]);
    if (i < n) {
        const size_t r = n - i;
        uint64_t low, high;
        if constexpr (slack) {
            low = load(p + i);
            high = load(p + i + 8);
        } else {
            unsigned char tail[16] = {};
            memcpy(tail, p + i, r);
            low = load(tail);
            high = load(tail + 8);
        }
        // Blank columns first, then the bytes past the line masked off.
        low = word(low, i);
        high = word(high, i + 8);
        if (r < 8) {
            low &= ~0ull >> (64 - 8 * r);
            high = 0;
        } else {
            high = r == 8 ? 0 : high & (~0ull >> (128 - 8 * r));
        }
        a += static_cast<unsigned __int128>(low + keys[pair]) * (high + keys[pair + 1]);
    }
    return mix(static_cast<uint64_t>(a) ^ static_cast<uint64_t>(a >> 64) ^ (n * 0x9E3779B97F4A7C15ull));
}

inline void store(unsigned char* p, uint64_t w) { memcpy(p, &w, 8); }

// XXH3-64 of the n bytes at p with the bytes [blank.from, blank.to) read as
// spaces, hashed from a copy made a word at a time (the hash's own loads
// then find whole words stored). Reads up to 7 bytes past the end when
// `slack`. Lines longer than a copy on the stack (none that a writer makes)
// go through a copy on the heap.
template <bool slack>
inline uint64_t xxh3Blanked(const unsigned char* p, size_t n, Blanking blank) {
    constexpr size_t room = 512;
    if (n > room) {
        std::string copy(reinterpret_cast<const char*>(p), n);
        const size_t end = blank.to < n ? blank.to : n;
        copy.replace(blank.from, end - blank.from, end - blank.from, ' ');
        return XXH3_64bits(copy.data(), n);
    }
    alignas(16) unsigned char copy[room + 8];
    size_t i = 0;
    for (; i + 8 <= n; i += 8) store(copy + i, blank.word(load(p + i), i));
    if (i < n) {
        uint64_t w = 0;
        if constexpr (slack) w = load(p + i);
        else memcpy(&w, p + i, n - i);
        store(copy + i, blank.word(w, i));
    }
    return XXH3_64bits(copy, n);
}

}  // namespace content

// The blank columns of a data set's file (or of a part of it, named
// "NAME.partKKKK"): the inventory values of "histinv.qem" (17 columns of 10
// after the two codes) and "currinv.qem" (one column of 10); none for every
// other file.
BlankColumns blankColumnsOf(std::string_view fileName);

// The hash of one line (line end included), its blank columns read as
// spaces, by the line hash of the manifest the sum belongs to. With slack
// (lineHashWithSlack) it may read up to 16 bytes past the line, which the
// caller guarantees can be read (a writer's text block has room after its
// last line); the value is the same.
template <bool slack = false>
inline uint64_t lineHash(const char* line, size_t n, BlankColumns blank = {}, LineHash hash = currentLineHash) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(line);
    const bool blanked = blank.any() && blank.from < n;
    if (hash == LineHash::xxh3)
        return blanked ? content::xxh3Blanked<slack>(p, n, {blank.from, blank.to}) : XXH3_64bits(p, n);
    if (!blanked) return content::hashBytes<slack>(p, n);
    // A few blank bytes are cheapest applied to the words they fall in; many
    // (the 170 of a historical inventory line) written over a copy of the line.
    if (blank.to - blank.from < 64 || n > 512) return content::hashBytes<slack, true>(p, n, {blank.from, blank.to});
    unsigned char copy[512 + 16];
    memcpy(copy, p, n);
    memset(copy + blank.from, ' ', (blank.to < n ? blank.to : n) - blank.from);
    return content::hashBytes<true>(copy, n);
}

// lineHash of a line followed by at least 16 more readable bytes (a reader
// of whole files, whose lines are short, spends a good part of its time
// copying each line's last bytes otherwise).
inline uint64_t lineHashWithSlack(const char* line, size_t n, BlankColumns blank = {},
                                  LineHash hash = currentLineHash) {
    return lineHash<true>(line, n, blank, hash);
}

// XXH3-64 line hashes of one file's lines with blank columns, for a writer
// that hashes many of them: a copy of the line, its blank columns spaces,
// kept from line to line, so that of each line only the words outside the
// blank columns are copied (of a historical inventory line 4 words, not 25).
class BlankedLines {
public:
    explicit BlankedLines(BlankColumns blank) : blank(blank) { memset(copy, ' ', sizeof copy); }
    // lineHashWithSlack(line, n, blank, LineHash::xxh3): reads up to 7 bytes
    // past the line.
    uint64_t hashWithSlack(const char* line, size_t n) {
        if (n > room || blank.from >= n) return lineHashWithSlack(line, n, blank, LineHash::xxh3);
        const unsigned char* p = reinterpret_cast<const unsigned char*>(line);
        const content::Blanking words{blank.from, blank.to};
        // The words that hold bytes before the blank columns, and those that
        // hold bytes after them; the bytes between stay spaces.
        for (size_t i = 0; i < blank.from; i += 8) content::store(copy + i, words.word(content::load(p + i), i));
        for (size_t i = blank.to & ~size_t{7}; i < n; i += 8) content::store(copy + i, words.word(content::load(p + i), i));
        return XXH3_64bits(copy, n);
    }

private:
    static constexpr size_t room = 512;
    const BlankColumns blank;
    alignas(16) unsigned char copy[room + 8];
};

// The content sum of text made of whole lines ending in "\n" (a last line
// without one counts as a line too).
uint64_t contentSumOf(const char* text, size_t length, BlankColumns blank = {}, LineHash hash = currentLineHash);

}  // namespace qem
