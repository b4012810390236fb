#pragma once
#include <cstddef>
#include <cstdint>

namespace qem {

// CRC-32 of a byte stream as zlib, gzip and Python's zlib.crc32() compute it
// (polynomial 0x04C11DB7, reflected, initial value and final XOR 0xFFFFFFFF),
// so a program elsewhere can check a file against it. Fed block by block.
// The bytes go through ISA-L's crc32_gzip_refl, which picks the fastest code
// the processor runs (folding with carry-less multiplication, on 512-bit
// registers where there are), and blocks are joined with zlib's
// crc32_combine.
class Crc32 {
public:
    void add(const char* data, size_t length);
    uint32_t value() const { return crc; }

    // The CRC-32 of the bytes of a followed by the bytes of b, from the two
    // CRCs and b's length: what lets blocks checked apart (by several
    // threads, say) give the CRC of the file they make in the order they
    // were written.
    static uint32_t combine(uint32_t a, uint32_t b, uint64_t lengthOfB);

private:
    uint32_t crc = 0;
};

}  // namespace qem
