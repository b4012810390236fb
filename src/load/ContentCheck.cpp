#include "load/ContentCheck.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "integrity/Crc32.h"
#include "load/LoadError.h"

namespace qemload {

namespace fs = std::filesystem;

namespace {

std::string hex(uint64_t value, int digits) {
    char text[24];
    snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

// The calling thread's processor time in nanoseconds.
uint64_t threadNanoseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// Adds the thread's processor time from its construction to its end.
class ProcessorTime {
public:
    explicit ProcessorTime(std::atomic<uint64_t>& t) : total(t), start(threadNanoseconds()) {}
    ~ProcessorTime() { total += threadNanoseconds() - start; }

private:
    std::atomic<uint64_t>& total;
    uint64_t start;
};

}  // namespace

ContentCheck::ContentCheck(const DataSetManifests& m, const std::vector<const DataFile*>& list) : manifests(m) {
    if (manifests.empty()) return;
    for (const DataFile* file : list) {
        const ExpectedFile* e = manifests.find(file->name());
        if (!e) continue;  // checkStored() refuses such a file
        auto state = std::make_unique<FileState>();
        state->file = file;
        state->blank = qem::blankColumnsOf(file->name());
        for (size_t k = 0; k < file->parts().size(); ++k)
            state->compressed.push_back(CompressedState{manifests.compressedOf(*file, k), false});
        for (const ExpectedPart& p : e->parts) {
            PartState part;
            part.expected = &p;
            state->parts.push_back(std::move(part));
        }
        // An empty part is complete before anything is read.
        for (PartState& part : state->parts)
            if (part.expected->bytes == 0) {
                const std::string fault = verify(*state, part);
                if (!fault.empty()) throw LoadError(fault);
            }
        files.emplace(file->name(), std::move(state));
    }
}

void ContentCheck::add(const DataFile& file, uint64_t offset, const char* data, size_t length) {
    const auto it = files.find(file.name());
    if (it == files.end() || length == 0) return;
    const ProcessorTime time(nanoseconds);
    FileState& f = *it->second;
    const uint64_t end = offset + length;
    // The first part that holds byte `offset`, then every part up to `end`.
    auto part = std::upper_bound(f.parts.begin(), f.parts.end(), offset,
                                 [](uint64_t at, const PartState& p) { return at < p.expected->offset; });
    if (part != f.parts.begin()) --part;
    for (; part != f.parts.end() && part->expected->offset < end; ++part) {
        const ExpectedPart& e = *part->expected;
        const uint64_t from = std::max(offset, e.offset);
        const uint64_t to = std::min(end, e.offset + static_cast<uint64_t>(e.bytes));
        if (from >= to) continue;
        Piece piece;
        piece.offset = from;
        piece.length = to - from;
        const char* bytes = data + (from - offset);
        qem::Crc32 crc;
        crc.add(bytes, static_cast<size_t>(piece.length));
        piece.crc = crc.value();
        // The content sum and the lines (a last line without its line end
        // counts too), as the writer counts them.
        const char* const stop = bytes + piece.length;
        for (const char* line = bytes; line < stop; ++piece.lines) {
            const void* found = memchr(line, '\n', static_cast<size_t>(stop - line));
            const char* next = found ? static_cast<const char*>(found) + 1 : stop;
            piece.sum += qem::lineHash(line, static_cast<size_t>(next - line), f.blank, e.lineHash);
            line = next;
        }
        std::string fault;
        {
            std::lock_guard<std::mutex> lock(f.mutex);
            part->pieces.push_back(piece);
            part->bytesIn += piece.length;
            if (part->bytesIn == static_cast<uint64_t>(e.bytes)) fault = verify(f, *part);
        }
        if (!fault.empty()) throw LoadError(fault);
    }
}

std::string ContentCheck::verify(const FileState& f, PartState& part) const {
    const ExpectedPart& e = *part.expected;
    const std::string where = manifests.whereIs(*f.file, e);
    std::sort(part.pieces.begin(), part.pieces.end(), [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    uint32_t crc = 0;
    uint64_t sum = 0, at = e.offset;
    int64_t lines = 0;
    for (const Piece& piece : part.pieces) {
        if (piece.offset != at) return where + ": its bytes were not read exactly once (bytes from " + std::to_string(at + 1) + ")";
        crc = at == e.offset ? piece.crc : qem::Crc32::combine(crc, piece.crc, piece.length);
        sum += piece.sum;
        lines += piece.lines;
        at += piece.length;
    }
    part.pieces.clear();
    part.pieces.shrink_to_fit();
    part.checked = true;
    std::string fault;
    auto differs = [&](const std::string& what, const std::string& found, const std::string& said) {
        fault += (fault.empty() ? where + ": " : "; ") + what + " " + found + ", where " + e.manifest + " says " + said;
    };
    if (lines != e.lines) differs("lines", std::to_string(lines), std::to_string(e.lines));
    if (crc != e.crc) differs("CRC-32", hex(crc, 8), hex(e.crc, 8));
    if (e.sum && sum != *e.sum) differs("content sum", hex(sum, 16), hex(*e.sum, 16));
    if (!fault.empty()) fault += " (its bytes are not those written)";
    return fault;
}

void ContentCheck::addCompressed(const DataFile& file, size_t stored, uint64_t bytes, uint32_t crc) {
    const auto it = files.find(file.name());
    if (it == files.end()) return;
    FileState& f = *it->second;
    std::string fault;
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        if (stored >= f.compressed.size() || !f.compressed[stored].expected) return;
        CompressedState& c = f.compressed[stored];
        const DataSetManifests::Compressed& e = *c.expected;
        c.checked = true;
        auto differs = [&](const std::string& what, const std::string& found, const std::string& said) {
            fault += (fault.empty() ? "" : "; ") + what + " " + found + ", where " + e.source + " " + said;
        };
        if (bytes != e.bytes) differs("compressed bytes", std::to_string(bytes), std::to_string(e.bytes));
        if (crc != e.crc) differs("compressed CRC-32", hex(crc, 8), hex(e.crc, 8));
    }
    if (!fault.empty())
        throw LoadError(fs::path(file.parts()[stored].path).filename().string() + ": " + fault +
                        " (the compressed file is not the one written)");
}

void ContentCheck::finish() const {
    for (const auto& [name, f] : files) {
        std::lock_guard<std::mutex> lock(f->mutex);
        for (size_t k = 0; k < f->compressed.size(); ++k)
            if (f->compressed[k].expected && !f->compressed[k].checked)
                throw LoadError(fs::path(f->file->parts()[k].path).filename().string() +
                                ": was not read whole, so its compressed bytes were not checked (" +
                                f->compressed[k].expected->source + " " + std::to_string(f->compressed[k].expected->bytes) +
                                ")");
        for (const PartState& part : f->parts)
            if (!part.checked)
                throw LoadError(manifests.whereIs(*f->file, *part.expected) + ": only " + std::to_string(part.bytesIn) +
                                " of its " + std::to_string(part.expected->bytes) +
                                " bytes were read, so it was not checked against " + part.expected->manifest);
    }
}

uint64_t ContentCheck::compressedChecked() const {
    uint64_t n = 0;
    for (const auto& [name, f] : files) {
        std::lock_guard<std::mutex> lock(f->mutex);
        for (const CompressedState& c : f->compressed) n += c.checked;
    }
    return n;
}

uint64_t ContentCheck::partsChecked() const {
    uint64_t n = 0;
    for (const auto& [name, f] : files) {
        std::lock_guard<std::mutex> lock(f->mutex);
        for (const PartState& part : f->parts) n += part.checked;
    }
    return n;
}

}  // namespace qemload
