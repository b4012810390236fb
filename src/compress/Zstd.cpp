#include "compress/Zstd.h"

#include <zstd.h>

#include <cerrno>
#include <vector>

namespace qem {

struct ZstdEncoder::Context {
    ZSTD_CCtx* stream = ZSTD_createCCtx();
    std::vector<char> out = std::vector<char>(ZSTD_CStreamOutSize());
    ~Context() { ZSTD_freeCCtx(stream); }
};

ZstdEncoder::ZstdEncoder(int level) : context(std::make_unique<Context>()) {
    if (!context->stream) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(context->stream, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context->stream, ZSTD_c_checksumFlag, 1);
}

ZstdEncoder::~ZstdEncoder() = default;

int ZstdEncoder::run(const char* text, size_t length, bool end, const ByteSink& sink) {
    ZSTD_inBuffer in{text, length, 0};
    for (;;) {
        ZSTD_outBuffer out{context->out.data(), context->out.size(), 0};
        const size_t left = ZSTD_compressStream2(context->stream, &out, &in, end ? ZSTD_e_end : ZSTD_e_continue);
        if (ZSTD_isError(left)) return EIO;
        if (out.pos > 0)
            if (const int error = sink(context->out.data(), out.pos)) return error;
        if (end ? left == 0 : in.pos == in.size) return 0;
    }
}

int ZstdEncoder::encode(const char* text, size_t length, const ByteSink& sink) {
    return run(text, length, false, sink);
}

int ZstdEncoder::finish(const ByteSink& sink) { return run(nullptr, 0, true, sink); }

bool ZstdEncoder::frame(const char* text, size_t length, std::string& out) {
    out.clear();
    const ByteSink sink = [&](const char* bytes, size_t n) {
        out.append(bytes, n);
        return 0;
    };
    return encode(text, length, sink) == 0 && finish(sink) == 0;
}

struct ZstdDecoder::Context {
    ZSTD_DCtx* stream = ZSTD_createDCtx();
    std::vector<char> out = std::vector<char>(ZSTD_DStreamOutSize());
    // What the last call said of the frame: 0 at the end of a frame.
    size_t hint = 0;
    bool any = false;
    ~Context() { ZSTD_freeDCtx(stream); }
};

ZstdDecoder::ZstdDecoder() : context(std::make_unique<Context>()) {
    if (!context->stream) throw std::bad_alloc();
}

ZstdDecoder::~ZstdDecoder() = default;

std::string ZstdDecoder::decode(const char* bytes, size_t length, const ByteSink& sink) {
    ZSTD_inBuffer in{bytes, length, 0};
    context->any = context->any || length > 0;
    // Until the input is used up and the library holds nothing back (a call
    // that fills the whole output buffer may have more to give).
    for (;;) {
        ZSTD_outBuffer out{context->out.data(), context->out.size(), 0};
        const size_t hint = ZSTD_decompressStream(context->stream, &out, &in);
        if (ZSTD_isError(hint)) return std::string("corrupt compressed data (") + ZSTD_getErrorName(hint) + ")";
        context->hint = hint;
        if (out.pos > 0)
            if (const int error = sink(context->out.data(), out.pos))
                return "cannot pass on the data: error " + std::to_string(error);
        if (in.pos == in.size && out.pos < out.size) return "";
    }
}

std::string ZstdDecoder::finish() const {
    if (!context->any) return "empty: not a compressed file";
    return context->hint == 0 ? "" : "cut short: its last frame is incomplete";
}

}  // namespace qem
