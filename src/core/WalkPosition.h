#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace qem {

// Where a walk of nested loops stands at a given record: the counter of each
// loop, outermost first. `sizes` are the trip counts of the inner loops
// (outermost of them first), the innermost producing one record a trip; the
// outermost loop's counter is unbounded. A writer that starts its walk in the
// middle (RecordWriter::walkStart()) begins its loops at these counters.
template <size_t N>
std::array<int64_t, N + 1> walkPosition(int64_t record, const std::array<int64_t, N>& sizes) {
    std::array<int64_t, N + 1> counters{};
    for (size_t i = N; i > 0; --i) {
        counters[i] = record % sizes[i - 1];
        record /= sizes[i - 1];
    }
    counters[0] = record;
    return counters;
}

}  // namespace qem
