#include "part/PartPlan.h"

#include <algorithm>
#include <functional>
#include <numeric>
#include <queue>
#include <utility>

namespace qem {

namespace {

// A file's buffers laid end to end: where each writer's buffers and bytes begin.
class Layout {
public:
    explicit Layout(const SplitFile& f) : file(f) {
        int64_t buffer = 0, byte = 0;
        for (const int64_t records : file.writerRecords) {
            firstBuffer.push_back(buffer);
            firstByte.push_back(byte);
            buffer += buffersOf(records, file.capacity);
            byte += records * file.lineLength;
        }
        firstBuffer.push_back(buffer);
        firstByte.push_back(byte);
    }

    int64_t buffers() const { return firstBuffer.back(); }
    int64_t bytes() const { return firstByte.back(); }

    // Bytes before buffer boundary b (0 .. buffers()).
    int64_t bytesBefore(int64_t b) const {
        // The last writer whose buffers begin at or before b.
        const size_t w = static_cast<size_t>(std::upper_bound(firstBuffer.begin(), firstBuffer.end() - 1, b) -
                                             firstBuffer.begin()) - 1;
        const int64_t records = std::min((b - firstBuffer[w]) * file.capacity, file.writerRecords[w]);
        return firstByte[w] + records * file.lineLength;
    }

    // The buffer boundary nearest to byte position x (0 .. bytes()); of two
    // at the same distance, the lower.
    int64_t nearestBoundary(int64_t x) const {
        // The first writer whose bytes end at or after x.
        const size_t w = static_cast<size_t>(std::lower_bound(firstByte.begin() + 1, firstByte.end(), x) -
                                             firstByte.begin()) - 1;
        const int64_t ownBuffers = firstBuffer[w + 1] - firstBuffer[w];
        const int64_t bufferBytes = int64_t{file.capacity} * file.lineLength;
        const int64_t below = std::min(ownBuffers, (x - firstByte[w]) / bufferBytes);
        const int64_t lower = firstBuffer[w] + below;
        const int64_t upper = std::min(lower + 1, firstBuffer[w + 1]);
        return x - bytesBefore(lower) <= bytesBefore(upper) - x ? lower : upper;
    }

private:
    const SplitFile& file;
    std::vector<int64_t> firstBuffer, firstByte;  // one more entry than writers: the ends
};

// Cuts (parts + 1 boundaries) of a file among parts whose byte counts are
// `loads`: the level that the file raises the lowest parts to, and each
// part's share of the file up to that level, cut at the nearest boundaries.
std::vector<int64_t> waterFill(const Layout& layout, const std::vector<int64_t>& loads) {
    const size_t parts = loads.size();
    std::vector<int64_t> sorted(loads);
    std::sort(sorted.begin(), sorted.end());
    int64_t level = 0, filled = 0;
    for (size_t j = 0; j < parts; ++j) {
        filled += sorted[j];
        level = (layout.bytes() + filled) / static_cast<int64_t>(j + 1);
        if (j + 1 == parts || level <= sorted[j + 1]) break;
    }
    std::vector<int64_t> cuts(parts + 1, 0);
    int64_t share = 0;
    for (size_t k = 0; k + 1 < parts; ++k) {
        share += std::max<int64_t>(0, level - loads[k]);
        cuts[k + 1] = std::max(cuts[k], layout.nearestBoundary(std::min(share, layout.bytes())));
    }
    cuts[parts] = layout.buffers();
    return cuts;
}

}  // namespace

int64_t rangeBytes(const SplitFile& file, const BufferRange& range) {
    const Layout layout(file);
    return layout.bytesBefore(range.end) - layout.bytesBefore(range.first);
}

BufferRange writerWindow(const SplitFile& file, size_t writer, const BufferRange& range) {
    int64_t first = 0;
    for (size_t w = 0; w < writer; ++w) first += buffersOf(file.writerRecords[w], file.capacity);
    const int64_t own = buffersOf(file.writerRecords[writer], file.capacity);
    const int64_t from = std::clamp(range.first - first, int64_t{0}, own);
    const int64_t to = std::clamp(range.end - first, int64_t{0}, own);
    return from < to ? BufferRange{from, to} : BufferRange{};
}

std::vector<BufferRange> splitPhase(const std::vector<SplitFile>& files, int32_t parts, int32_t part) {
    const size_t p = static_cast<size_t>(parts), mine = static_cast<size_t>(part - 1);
    std::vector<Layout> layouts;
    layouts.reserve(files.size());
    for (const SplitFile& f : files) layouts.emplace_back(f);
    // Large files first, each group largest first (ties in file order).
    std::vector<size_t> order(files.size());
    std::iota(order.begin(), order.end(), size_t{0});
    auto large = [&](size_t f) { return layouts[f].buffers() >= parts; };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (large(a) != large(b)) return large(a);
        return layouts[a].bytes() > layouts[b].bytes();
    });

    std::vector<BufferRange> ranges(files.size());
    std::vector<int64_t> loads(p, 0);
    size_t next = 0;
    for (; next < order.size() && large(order[next]); ++next) {
        const size_t f = order[next];
        const std::vector<int64_t> cuts = waterFill(layouts[f], loads);
        for (size_t k = 0; k < p; ++k) loads[k] += layouts[f].bytesBefore(cuts[k + 1]) - layouts[f].bytesBefore(cuts[k]);
        ranges[f] = BufferRange{cuts[mine], cuts[mine + 1]};
    }
    // The least loaded parts on top (of equal loads, the lowest number).
    using Entry = std::pair<int64_t, size_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> lightest;
    for (size_t k = 0; k < p; ++k) lightest.emplace(loads[k], k);
    std::vector<Entry> taken;
    for (; next < order.size(); ++next) {
        const size_t f = order[next];
        const Layout& layout = layouts[f];
        taken.clear();
        for (int64_t b = 0; b < layout.buffers(); ++b) {
            taken.push_back(lightest.top());
            lightest.pop();
        }
        std::sort(taken.begin(), taken.end(), [](const Entry& a, const Entry& b) { return a.second < b.second; });
        for (size_t b = 0; b < taken.size(); ++b) {
            const int64_t buffer = static_cast<int64_t>(b);
            const int64_t bytes = layout.bytesBefore(buffer + 1) - layout.bytesBefore(buffer);
            if (taken[b].second == mine) ranges[f] = BufferRange{buffer, buffer + 1};
            lightest.emplace(taken[b].first + bytes, taken[b].second);
        }
    }
    return ranges;
}

}  // namespace qem
