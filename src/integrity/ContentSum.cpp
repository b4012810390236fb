#include "integrity/ContentSum.h"

namespace qem {

namespace {

// Where the inventory values stand: after the customer and product codes,
// 10 characters a month.
constexpr size_t codeColumns = 24, valueWidth = 10;

// Whether name is the data set's file `file` or a part of it ("file.part0003", "file.part0003.tmp").
bool isFileOrPart(std::string_view name, std::string_view file) {
    return name.starts_with(file) && (name.size() == file.size() || name[file.size()] == '.');
}

}  // namespace

BlankColumns blankColumnsOf(std::string_view fileName) {
    if (isFileOrPart(fileName, "histinv.qem")) return {codeColumns, codeColumns + 17 * valueWidth};
    if (isFileOrPart(fileName, "currinv.qem")) return {codeColumns, codeColumns + valueWidth};
    return {};
}

uint64_t contentSumOf(const char* text, size_t length, BlankColumns blank, LineHash hash) {
    uint64_t sum = 0;
    const char* const end = text + length;
    for (const char* line = text; line < end;) {
        const void* found = memchr(line, '\n', static_cast<size_t>(end - line));
        const char* next = found ? static_cast<const char*>(found) + 1 : end;
        sum += lineHash(line, static_cast<size_t>(next - line), blank, hash);
        line = next;
    }
    return sum;
}

}  // namespace qem
