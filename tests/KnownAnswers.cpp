#include "KnownAnswers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string_view>
#include <vector>

#include "Sha256.h"

namespace qemtest {

namespace {

constexpr size_t maxChunks = 64;
constexpr size_t chunkHexDigits = 8;

struct Answer {
    std::string order;
    size_t lines = 0;
    std::string digest;               // SHA-256 of the chunks' full digests, in order
    std::vector<std::string> chunks;  // first hex digits of each chunk's SHA-256
};

std::string tablePath() {
    return (std::filesystem::path(__FILE__).parent_path() / "data" / "known-answers.txt").string();
}

// "case file" -> answer
const std::map<std::string, Answer>& table() {
    static const std::map<std::string, Answer> answers = [] {
        std::map<std::string, Answer> loaded;
        std::ifstream in(tablePath());
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            std::string caseName, file, chunks;
            Answer a;
            fields >> caseName >> file >> a.order >> a.lines >> a.digest >> chunks;
            for (size_t i = 0; i + chunkHexDigits <= chunks.size(); i += chunkHexDigits)
                a.chunks.push_back(chunks.substr(i, chunkHexDigits));
            loaded[caseName + " " + file] = a;
        }
        return loaded;
    }();
    return answers;
}

// Splits text into lines, each with its line end (the last one may lack it).
std::vector<std::string_view> linesOf(const std::string& text) {
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.emplace_back(text.data() + start, end - start);
        start = end;
    }
    return lines;
}

// Orders lines by their bytes: first by their first 48 bytes read as six
// numbers, then by the rest.
void sortLines(std::vector<std::string_view>& lines) {
    struct Keyed {
        uint64_t prefix[6];
        std::string_view line;
    };
    std::vector<Keyed> keyed(lines.size());
    for (size_t k = 0; k < lines.size(); ++k) {
        const std::string_view line = lines[k];
        keyed[k].line = line;
        for (size_t w = 0; w < 6; ++w) {
            uint64_t word = 0;
            for (size_t i = 8 * w; i < 8 * w + 8; ++i) word = word << 8 | (i < line.size() ? static_cast<uint8_t>(line[i]) : 0u);
            keyed[k].prefix[w] = word;
        }
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        for (size_t w = 0; w < 6; ++w)
            if (a.prefix[w] != b.prefix[w]) return a.prefix[w] < b.prefix[w];
        return a.line < b.line;
    });
    for (size_t i = 0; i < lines.size(); ++i) lines[i] = keyed[i].line;
}

// Digest of lines (each ending in its line end; they lie one after another in
// memory) cut into the chunks that a file of `chunkingLines` lines has.
Answer describe(const std::vector<std::string_view>& lines, size_t chunkingLines, const std::string& order) {
    Answer a;
    a.order = order;
    a.lines = lines.size();
    const size_t count = std::min(maxChunks, chunkingLines);
    Sha256 top;
    for (size_t c = 0; c < count; ++c) {
        Sha256 chunk;
        const size_t first = std::min(c * chunkingLines / count, lines.size());
        const size_t last = std::min((c + 1) * chunkingLines / count, lines.size());
        if (first < last) chunk.add({lines[first].data(), static_cast<size_t>(lines[last - 1].end() - lines[first].begin())});
        const Sha256::Digest d = chunk.finish();
        top.add({reinterpret_cast<const char*>(d.data()), d.size()});
        a.chunks.push_back(Sha256::hex(d, chunkHexDigits / 2));
    }
    a.digest = Sha256::hex(top.finish());
    return a;
}

}  // namespace

void expectKnownAnswer(const std::string& caseName, const std::string& name, LineOrder order) {
    std::ifstream in(name, std::ios::binary);
    ASSERT_TRUE(in) << name << " was not written";
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_TRUE(!text.empty() && text.back() == '\n') << name << ": empty, or no line end at the end";
    std::vector<std::string_view> lines = linesOf(text);
    const std::string orderName = order == LineOrder::sorted ? "sorted" : "bytes";
    std::string sortedText;
    if (order == LineOrder::sorted) {
        sortLines(lines);
        sortedText.reserve(text.size());
        for (std::string_view line : lines) sortedText += line;
        lines = linesOf(sortedText);
    }

    if (const char* record = getenv("QEM_RECORD_KNOWN_ANSWERS")) {
        const Answer a = describe(lines, lines.size(), orderName);
        std::string chunks;
        for (const std::string& c : a.chunks) chunks += c;
        std::ofstream(record, std::ios::app) << caseName << ' ' << name << ' ' << a.order << ' ' << a.lines << ' '
                                             << a.digest << ' ' << chunks << '\n';
        return;
    }
    const auto known = table().find(caseName + " " + name);
    ASSERT_NE(known, table().end()) << "no known answer for " << caseName << " " << name << " in " << tablePath();
    const Answer& expected = known->second;
    ASSERT_EQ(expected.order, orderName) << name;
    const Answer actual = describe(lines, expected.lines, orderName);
    if (actual.lines == expected.lines && actual.digest == expected.digest) return;
    size_t chunk = 0;
    while (chunk < expected.chunks.size() && chunk < actual.chunks.size() &&
           expected.chunks[chunk] == actual.chunks[chunk])
        ++chunk;
    std::ostringstream where;
    if (chunk < expected.chunks.size()) {
        const size_t count = expected.chunks.size();
        const size_t first = chunk * expected.lines / count + 1, last = (chunk + 1) * expected.lines / count;
        where << "first difference in line " << first;
        if (last > first) where << " .. " << last;
    } else {
        where << "first difference after line " << expected.lines;
    }
    ADD_FAILURE() << caseName << ": " << name << " differs from its known answer"
                  << (order == LineOrder::sorted ? " (lines compared in sorted order)" : "") << ": " << where.str()
                  << "; " << actual.lines << " lines, known " << expected.lines;
}

void expectKnownFileSet(const std::string& caseName) {
    if (getenv("QEM_RECORD_KNOWN_ANSWERS")) return;
    std::set<std::string> expected, present;
    for (const auto& [key, answer] : table())
        if (key.compare(0, caseName.size() + 1, caseName + " ") == 0) expected.insert(key.substr(caseName.size() + 1));
    for (const auto& entry : std::filesystem::directory_iterator("."))
        present.insert(entry.path().filename().string());
    EXPECT_EQ(present, expected) << caseName;
}

}  // namespace qemtest
