#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qem {

// Zstandard streams through libzstd, for the compressed part files: text is
// compressed block by block as it is produced, into one frame per file, and
// read back as it is decompressed. Concatenated frames decompress to the
// concatenation of their contents, so the compressed parts of a file joined
// with cat are a valid compressed file of the whole.

// The Zstandard levels --compress takes, and its default: the fastest, which
// compresses the data set's text about 6 times.
inline constexpr int leastZstdLevel = 1, mostZstdLevel = 19, defaultZstdLevel = 1;
// The level of "zstd" (the default) or "zstd:LEVEL"; 0 for anything else.
inline int zstdLevelOf(const std::string& value) {
    if (value == "zstd") return defaultZstdLevel;
    if (value.rfind("zstd:", 0) != 0) return 0;
    const std::string level = value.substr(5);
    if (level.empty() || level.size() > 2 || level.find_first_not_of("0123456789") != std::string::npos) return 0;
    const int n = std::stoi(level);
    return n >= leastZstdLevel && n <= mostZstdLevel ? n : 0;
}

// Where encoded or decoded bytes go: returns 0, or an error number that ends
// the work.
using ByteSink = std::function<int(const char* bytes, size_t length)>;

class ZstdEncoder {
public:
    explicit ZstdEncoder(int level);
    ~ZstdEncoder();
    ZstdEncoder(const ZstdEncoder&) = delete;
    ZstdEncoder& operator=(const ZstdEncoder&) = delete;

    // Compresses the text, handing what comes out to sink. 0, or the sink's
    // error number (or EIO where the library fails).
    int encode(const char* text, size_t length, const ByteSink& sink);
    // Ends the frame: the rest goes to sink.
    int finish(const ByteSink& sink);
    // The whole text as one frame into `out` (replacing what it held);
    // false where the library fails.
    bool frame(const char* text, size_t length, std::string& out);

private:
    int run(const char* text, size_t length, bool end, const ByteSink& sink);
    struct Context;
    std::unique_ptr<Context> context;
};

// Decompresses a stream of one or more frames fed in pieces.
class ZstdDecoder {
public:
    ZstdDecoder();
    ~ZstdDecoder();
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;

    // Decompresses the piece, handing what comes out to sink. "" or what is
    // wrong with the data (a corrupt frame, say).
    std::string decode(const char* bytes, size_t length, const ByteSink& sink);
    // After the last piece: "" when the data ended at the end of a frame,
    // otherwise that it is cut short.
    std::string finish() const;

private:
    struct Context;
    std::unique_ptr<Context> context;
};

}  // namespace qem
