#pragma once
#include <cstdint>

namespace qem {

// One buffer slot: seven signed 32-bit fields. The shuffle key belongs to the
// record writer; each concrete writer uses the data fields it needs.
struct WriterRecord {
    int32_t shuffleKey;
    int32_t scenarioIndex;
    int32_t productIndex;
    int32_t customerIndex;
    int32_t channelIndex;
    int32_t timeIndex;
    int32_t measureAndKind;  // measureIndex in the low 16 bits, queryKind in the high 16 bits

    int32_t measureIndex() const { return static_cast<int16_t>(measureAndKind & 0xFFFF); }
    int32_t queryKind() const { return static_cast<int16_t>((static_cast<uint32_t>(measureAndKind) >> 16) & 0xFFFF); }
    void setMeasureIndex(int32_t m) {
        measureAndKind = static_cast<int32_t>((static_cast<uint32_t>(measureAndKind) & 0xFFFF0000u) |
                                              (static_cast<uint32_t>(m) & 0xFFFFu));
    }
    void setQueryKind(int32_t k) {
        measureAndKind = static_cast<int32_t>((static_cast<uint32_t>(measureAndKind) & 0x0000FFFFu) |
                                              ((static_cast<uint32_t>(k) & 0xFFFFu) << 16));
    }
};

}  // namespace qem
