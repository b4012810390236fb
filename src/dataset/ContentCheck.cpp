#include "dataset/ContentCheck.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include "dataset/DataSetError.h"
#include "dataset/TableLines.h"
#include "integrity/Crc32.h"

namespace qemdata {

namespace {

// No line of a data set comes near this many bytes: the bytes of a line cut
// by a piece's ends are kept up to it (a damaged file without line ends
// keeps no more), and such a line is named.
constexpr size_t longestLine = 64 * 1024;
// The faults kept of one part at most (a part with many is named by these).
constexpr size_t keptFaults = 8;

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

// Appends bytes to a cut line's, up to longestLine; false when they do not fit.
bool keep(std::string& to, const char* bytes, size_t n) {
    if (to.size() + n > longestLine) {
        to.append(bytes, std::min(n, longestLine - std::min(longestLine, to.size())));
        return false;
    }
    to.append(bytes, n);
    return true;
}

std::string str(int64_t value) { return std::to_string(value); }

}  // namespace

std::unique_ptr<ContentCheck> ContentCheck::of(const ManifestSet& manifests, const std::vector<DataFile>& files,
                                               Faults faults) {
    std::vector<Checked> list;
    for (const DataFile& f : files) list.push_back(Checked{&f, manifests.find(f.name())});
    return std::make_unique<ContentCheck>(list, faults);
}

ContentCheck::ContentCheck(const std::vector<Checked>& list, Faults faults) : policy(faults) {
    for (const auto& [file, e] : list) {
        if (!e) continue;
        auto state = std::make_unique<FileState>();
        state->file = file;
        state->expected = e;
        state->blank = qem::blankColumnsOf(file->name());
        for (const TableDef& def : factTables())
            if (def.file && file->name() == def.file && !inventoryFields(def.id).empty()) {
                state->inventory = &inventoryFields(def.id);
                state->lineLength = def.lineLength;
            }
        for (size_t k = 0; k < file->parts().size(); ++k)
            state->compressed.push_back(CompressedState{FolderCheck::compressedOf(*e, *file, k), {}});
        for (const ExpectedPart& p : e->parts) {
            PartState part;
            part.expected = &p;
            state->parts.push_back(std::move(part));
        }
        // An empty part is complete before anything is read.
        for (PartState& part : state->parts)
            if (part.expected->bytes == 0) {
                const std::string text = complete(*state, part);
                if (!text.empty()) fault(part, text);
            }
        files.emplace(file, std::move(state));
    }
}

void ContentCheck::fault(PartState& part, const std::string& text) const {
    if (policy == Faults::thrown) throw ReadFault(text);
    if (part.faults.size() < keptFaults) part.faults.push_back(text);
}

uint64_t ContentCheck::line(const FileState& f, qem::LineHash hash, qem::BlankedLines* blanked, bool slack,
                            const char* text, size_t length, uint64_t offset, std::string& fault) const {
    if (f.inventory && fault.empty()) {
        const size_t n = static_cast<size_t>(f.lineLength);
        if (length == n + 1 || (length == n + 2 && text[n] == '\r')) {
            try {
                for (const fixed_fields::Field& field : *f.inventory) inventoryValue(field, text);
            } catch (const LineError& e) {
                fault = f.file->where(offset, offset / length + 1) + ": " + e.what();
            }
        }
    }
    // slack: 16 more bytes can be read after the line.
    if (slack && blanked && hash == qem::LineHash::xxh3) return blanked->hashWithSlack(text, length);
    return slack ? qem::lineHashWithSlack(text, length, f.blank, hash) : qem::lineHash(text, length, f.blank, hash);
}

void ContentCheck::add(const DataFile& file, uint64_t offset, const char* data, size_t length) {
    const auto it = files.find(&file);
    if (it == files.end() || length == 0) return;
    const ProcessorTime time(nanoseconds);
    FileState& f = *it->second;
    // The blank columns' copy of a line, kept from line to line.
    std::optional<qem::BlankedLines> blanked;
    if (f.blank.any()) blanked.emplace(f.blank);
    const uint64_t end = offset + length;
    const char* const dataEnd = data + length;
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
        const char* const bytes = data + (from - offset);
        const char* const stop = bytes + piece.length;
        qem::Crc32 crc;
        crc.add(bytes, static_cast<size_t>(piece.length));
        piece.crc = crc.value();
        std::string lineFault;
        const void* first = memchr(bytes, '\n', static_cast<size_t>(piece.length));
        if (!first) {
            keep(piece.head, bytes, static_cast<size_t>(piece.length));
        } else {
            piece.newline = true;
            const char* line = static_cast<const char*>(first) + 1;
            keep(piece.head, bytes, static_cast<size_t>(line - bytes));
            // The lines whole in the piece, each hashed where it is (reading
            // past a line's end where the buffer has 16 more bytes).
            for (;;) {
                const void* found = memchr(line, '\n', static_cast<size_t>(stop - line));
                if (!found) break;
                const char* const next = static_cast<const char*>(found) + 1;
                const size_t n = static_cast<size_t>(next - line);
                const uint64_t at = from + static_cast<uint64_t>(line - bytes);
                piece.sum += this->line(f, e.lineHash, blanked ? &*blanked : nullptr, dataEnd - next >= 16, line, n, at,
                                        lineFault);
                ++piece.lines;
                line = next;
            }
            keep(piece.tail, line, static_cast<size_t>(stop - line));
        }
        std::string completed;
        {
            std::lock_guard<std::mutex> lock(f.mutex);
            part->pieces.push_back(std::move(piece));
            part->bytesIn += to - from;
            if (!lineFault.empty()) fault(*part, lineFault);
            if (part->bytesIn == static_cast<uint64_t>(e.bytes)) completed = complete(f, *part);
            if (!completed.empty()) fault(*part, completed);
        }
    }
}

std::string ContentCheck::complete(FileState& f, PartState& part) const {
    const ExpectedPart& e = *part.expected;
    const std::string where = FolderCheck::whereIs(*f.file, *f.expected, e);
    std::sort(part.pieces.begin(), part.pieces.end(), [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    uint32_t crc = 0;
    uint64_t sum = 0, at = e.offset;
    int64_t lines = 0;
    // The lines cut by the pieces' ends, put together: the bytes after the
    // last line end of a piece and up to the first of the next (through any
    // pieces without one).
    std::string cut, lineFault;
    uint64_t cutAt = e.offset;
    bool overlong = false;
    auto whole = [&](const std::string& text, uint64_t offset) {
        sum += line(f, e.lineHash, nullptr, false, text.data(), text.size(), offset, lineFault);
        ++lines;
    };
    for (Piece& piece : part.pieces) {
        if (piece.offset != at)
            return where + ": its bytes were not read exactly once (bytes from " + str(static_cast<int64_t>(at + 1)) + ")";
        crc = at == e.offset ? piece.crc : qem::Crc32::combine(crc, piece.crc, piece.length);
        sum += piece.sum;
        lines += piece.lines;
        at += piece.length;
        if (cut.empty()) cutAt = piece.offset;
        overlong = !keep(cut, piece.head.data(), piece.head.size()) || overlong;
        if (!piece.newline) continue;
        whole(cut, cutAt);
        cut = std::move(piece.tail);
        cutAt = piece.offset + piece.length - cut.size();
        overlong = overlong || cut.size() >= longestLine;
    }
    // A last line without its line end counts too, as the writer counts it.
    if (!cut.empty()) whole(cut, cutAt);
    part.pieces.clear();
    part.pieces.shrink_to_fit();
    part.checked = true;
    part.lines = lines;
    part.crc = crc;
    part.sum = sum;
    std::string text;
    auto differs = [&](const std::string& what, const std::string& found, const std::string& said) {
        text += (text.empty() ? where + ": " : "; ") + what + " " + found + ", where " + e.manifest + " says " + said;
    };
    if (lines != e.lines) differs("lines", str(lines), str(e.lines));
    if (crc != e.crc) differs("CRC-32", qem::hex(crc, 8), qem::hex(e.crc, 8));
    if (e.sum && sum != *e.sum) differs("content sum", qem::hex(sum, 16), qem::hex(*e.sum, 16));
    if (!text.empty()) text += " (its bytes are not those written)";
    if (overlong) text += (text.empty() ? where + ": " : "; ") + "a line longer than " + str(longestLine) + " bytes";
    if (!lineFault.empty()) {
        if (policy == Faults::thrown) return lineFault;
        if (part.faults.size() < keptFaults) part.faults.push_back(lineFault);
    }
    return text;
}

void ContentCheck::addCompressed(const DataFile& file, size_t stored, uint64_t bytes, uint32_t crc) {
    const auto it = files.find(&file);
    if (it == files.end()) return;
    FileState& f = *it->second;
    std::string text;
    {
        std::lock_guard<std::mutex> lock(f.mutex);
        if (stored >= f.compressed.size()) return;
        CompressedState& c = f.compressed[stored];
        c.result.read = true;
        c.result.bytes = bytes;
        if (!c.expected) return;
        const FolderCheck::Compressed& e = *c.expected;
        auto differs = [&](const std::string& what, const std::string& found, const std::string& said) {
            text += (text.empty() ? "" : "; ") + what + " " + found + ", where " + e.source + " " + said;
        };
        if (bytes != e.bytes) differs("compressed bytes", str(static_cast<int64_t>(bytes)), str(static_cast<int64_t>(e.bytes)));
        if (crc != e.crc) differs("compressed CRC-32", qem::hex(crc, 8), qem::hex(e.crc, 8));
        if (text.empty()) return;
        text = file.storedName(stored) + ": " + text + " (the compressed file is not the one written)";
        c.result.fault = text;
    }
    if (policy == Faults::thrown) throw ReadFault(text);
}

void ContentCheck::finish(const std::function<bool(const DataFile&, const ExpectedPart&)>& needed) {
    for (auto& [file, f] : files) {
        std::lock_guard<std::mutex> lock(f->mutex);
        const auto wanted = [&](const ExpectedPart& p) { return !needed || needed(*file, p); };
        for (size_t k = 0; k < f->compressed.size(); ++k) {
            CompressedState& c = f->compressed[k];
            // A stored part is its expected part; a whole file holds them all.
            bool any = false;
            for (size_t p = 0; p < f->parts.size(); ++p)
                any = any || ((!file->storedInParts() || p == k) && wanted(*f->parts[p].expected));
            if (!c.expected || c.result.read || !any) continue;
            c.result.fault = file->storedName(k) + ": was not read whole, so its compressed bytes were not checked (" +
                             c.expected->source + " " + str(static_cast<int64_t>(c.expected->bytes)) + ")";
            if (policy == Faults::thrown) throw ReadFault(c.result.fault);
        }
        for (PartState& part : f->parts) {
            if (part.checked || !wanted(*part.expected)) continue;
            const ExpectedPart& e = *part.expected;
            fault(part,
                  FolderCheck::whereIs(*file, *f->expected, e) + ": only " + str(static_cast<int64_t>(part.bytesIn)) +
                      " of its " + str(e.bytes) + " bytes were read, so it was not checked against " + e.manifest);
        }
    }
}

std::vector<ContentCheck::PartResult> ContentCheck::results(const DataFile& file) const {
    std::vector<PartResult> list;
    const auto it = files.find(&file);
    if (it == files.end()) return list;
    const FileState& f = *it->second;
    std::lock_guard<std::mutex> lock(f.mutex);
    for (const PartState& part : f.parts) {
        PartResult r;
        r.expected = part.expected;
        r.where = FolderCheck::whereIs(file, *f.expected, *part.expected);
        r.read = part.checked;
        r.lines = part.lines;
        r.bytes = part.bytesIn;
        r.crc = part.crc;
        r.sum = part.sum;
        r.faults = part.faults;
        list.push_back(std::move(r));
    }
    return list;
}

std::vector<ContentCheck::CompressedResult> ContentCheck::compressedResults(const DataFile& file) const {
    std::vector<CompressedResult> list;
    const auto it = files.find(&file);
    if (it == files.end()) return list;
    std::lock_guard<std::mutex> lock(it->second->mutex);
    for (const CompressedState& c : it->second->compressed) list.push_back(c.result);
    return list;
}

uint64_t ContentCheck::partsChecked() const {
    uint64_t n = 0;
    for (const auto& [file, f] : files) {
        std::lock_guard<std::mutex> lock(f->mutex);
        for (const PartState& part : f->parts) n += part.checked;
    }
    return n;
}

uint64_t ContentCheck::compressedChecked() const {
    uint64_t n = 0;
    for (const auto& [file, f] : files) {
        std::lock_guard<std::mutex> lock(f->mutex);
        for (const CompressedState& c : f->compressed) n += c.expected && c.result.read && c.result.fault.empty();
    }
    return n;
}

}  // namespace qemdata
