#include "integrity/Crc32.h"

#include <isa-l/crc.h>
#include <zlib.h>

namespace qem {

void Crc32::add(const char* data, size_t length) {
    // crc32_gzip_refl takes a length of 64 bits and continues from the CRC
    // so far, as zlib's crc32() does.
    crc = crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(data), length);
}

uint32_t Crc32::combine(uint32_t a, uint32_t b, uint64_t lengthOfB) {
    static_assert(sizeof(z_off_t) >= 8, "zlib's lengths of 64 bits (a 64-bit system)");
    return static_cast<uint32_t>(crc32_combine(a, b, static_cast<z_off_t>(lengthOfB)));
}

}  // namespace qem
