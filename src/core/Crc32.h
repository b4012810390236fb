#pragma once
#include <cstddef>
#include <cstdint>

namespace qem {

// CRC-32 of a byte stream as zlib, gzip and Python's zlib.crc32() compute it
// (polynomial 0x04C11DB7, reflected, initial value and final XOR 0xFFFFFFFF),
// so a program elsewhere can check a file against it. Fed block by block.
// On x86-64 processors with carry-less multiplication it folds 64 bytes at a
// time (several bytes per cycle); elsewhere it uses tables, a byte at a time.
class Crc32 {
public:
    void add(const char* data, size_t length);
    uint32_t value() const { return ~state; }

private:
    uint32_t state = 0xFFFFFFFFu;
};

}  // namespace qem
