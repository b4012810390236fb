#include "dataset/Lines.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace qemdata {

namespace lines {

std::string describeBadLine(const DataFile& file, uint64_t offset, int length, int lineEnd) {
    // A line far longer than expected is reported by its first 64 KiB.
    const size_t available = static_cast<size_t>(std::min<uint64_t>(file.size() - offset, 65536));
    std::vector<char> data(available);
    file.read(offset, data.data(), available);
    const char* end = static_cast<const char*>(memchr(data.data(), '\n', available));
    const std::string expected = ", expected " + std::to_string(length);
    if (!end) {
        if (available == 65536) return "has more than 65536 characters" + expected;
        return "has " + std::to_string(available) + " characters and no line end" + expected;
    }
    size_t n = static_cast<size_t>(end - data.data());
    const bool crlf = n > 0 && data[n - 1] == '\r';
    if (crlf) --n;
    if (n == static_cast<size_t>(length) && lineEnd != 0)
        return crlf ? "ends with CR LF, where the file's first line ends with LF alone"
                    : "ends with LF alone, where the file's first line ends with CR LF";
    return "has " + std::to_string(n) + " characters" + expected;
}

int lineEndOf(const DataFile& file, int length) {
    if (file.size() == 0) return 1;
    char head[2] = {0, 0};
    const uint64_t first = static_cast<uint64_t>(length);
    if (file.size() > first) file.read(first, head, static_cast<size_t>(std::min<uint64_t>(2, file.size() - first)));
    if (head[0] == '\n') return 1;
    if (head[0] == '\r' && head[1] == '\n') return 2;
    throw DataSetError(file.where(0, 1) + ": " + describeBadLine(file, 0, length, 0));
}

}  // namespace lines

}  // namespace qemdata
