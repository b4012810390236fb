#include "integrity/Crc32.h"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qem {

namespace {

constexpr uint32_t reflectedPolynomial = 0xEDB88320u;

constexpr std::array<std::array<uint32_t, 256>, 8> makeTables() {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ reflectedPolynomial : c >> 1;
        t[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; ++b)
        for (size_t s = 1; s < 8; ++s) t[s][b] = (t[s - 1][b] >> 8) ^ t[0][t[s - 1][b] & 0xFFu];
    return t;
}

// tables[s][b]: the CRC of byte b followed by s zero bytes.
constexpr auto tables = makeTables();

// The state (the inverted CRC) after the bytes, eight at a time.
uint32_t addByTables(uint32_t crc, const unsigned char* p, size_t n) {
    for (; n >= 8; n -= 8, p += 8) {
        const uint32_t low = crc ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
        crc = tables[7][low & 0xFFu] ^ tables[6][(low >> 8) & 0xFFu] ^ tables[5][(low >> 16) & 0xFFu] ^
              tables[4][low >> 24] ^ tables[3][p[4]] ^ tables[2][p[5]] ^ tables[1][p[6]] ^ tables[0][p[7]];
    }
    for (; n > 0; --n, ++p) crc = (crc >> 8) ^ tables[0][(crc ^ *p) & 0xFFu];
    return crc;
}

#if defined(__x86_64__)

#define QEM_FOLDING __attribute__((target("pclmul,sse4.1")))

QEM_FOLDING inline __m128i load16(const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x carried across 128 bits (k: the fold distance's two constants), added to next.
QEM_FOLDING inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00)), next);
}

// Folding with carry-less multiplication ("Fast CRC Computation for Generic
// Polynomials Using PCLMULQDQ Instruction", Gopal et al., Intel, 2009): four
// 128-bit lanes fold 64 bytes a step, then fold into one lane, then 16 bytes
// a step; a Barrett reduction gives the 32-bit state. n is at least 64 and a
// multiple of 16. The constants are x^k mod P for the fold distances and the
// Barrett quotient, bit-reflected.
QEM_FOLDING uint32_t addByFolding(uint32_t crc, const unsigned char* p, size_t n) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i barrett = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    __m128i x1 = _mm_xor_si128(load16(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load16(p + 16), x3 = load16(p + 32), x4 = load16(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; n -= 64, p += 64) {
        x1 = fold(x1, k1k2, load16(p));
        x2 = fold(x2, k1k2, load16(p + 16));
        x3 = fold(x3, k1k2, load16(p + 32));
        x4 = fold(x4, k1k2, load16(p + 48));
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    for (; n >= 16; n -= 16, p += 16) x1 = fold(x1, k3k4, load16(p));

    // 128 bits to 64, then Barrett reduction to 32.
    __m128i x2r = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2r);
    x2r = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), x2r);
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

const bool canFold = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");

#undef QEM_FOLDING

#endif

}  // namespace

namespace {

// a(x) b(x) modulo the polynomial, both bit-reflected (bit 31 is x^0).
uint32_t multiplyModulo(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit) product ^= b;
        b = (b & 1u) ? (b >> 1) ^ reflectedPolynomial : b >> 1;
    }
    return product;
}

// x^(8 n) modulo the polynomial, by squaring: the shift that n bytes apply.
uint32_t shiftOfBytes(uint64_t n) {
    uint32_t result = 1u << 31;   // x^0
    uint32_t power = 1u << 23;    // x^8
    for (; n != 0; n >>= 1) {
        if (n & 1) result = multiplyModulo(power, result);
        power = multiplyModulo(power, power);
    }
    return result;
}

}  // namespace

uint32_t Crc32::combine(uint32_t a, uint32_t b, uint64_t lengthOfB) {
    return multiplyModulo(shiftOfBytes(lengthOfB), a) ^ b;
}

void Crc32::add(const char* data, size_t length) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
#if defined(__x86_64__)
    if (canFold && length >= 64) {
        const size_t folded = length & ~size_t{15};
        state = addByFolding(state, p, folded);
        p += folded;
        length -= folded;
    }
#endif
    state = addByTables(state, p, length);
}

}  // namespace qem
