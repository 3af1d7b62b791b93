#include "formats/zstd_decoder.hpp"

#include <algorithm>
#include <memory>
#include <new>

#include <zstd.h>

#include "util/room.hpp"

namespace qs {

namespace {

struct FreeDecoder {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// A zstd frame starts with these four bytes (little-endian 0xFD2FB528).
constexpr std::string_view kZstdMagic = "\x28\xb5\x2f\xfd";

// The output grows in steps of this size, so a small chunk costs little and
// a bound far above the real size costs nothing until it is reached.
constexpr std::size_t kOutputStep = 128u << 10;

// One decoder per thread, kept between chunks: a payload of thousands of
// chunks would otherwise set up and tear down a decoder (and its window)
// for each. Reset before every frame, so nothing of one chunk reaches the
// next.
// A decoder that grew past kKeptDecoderSize (a frame that asked for a large
// window) is let go after its frame, so a thread that lives on does not
// keep what one odd chunk cost.
constexpr std::size_t kKeptDecoderSize = 4u << 20;

thread_local std::unique_ptr<ZSTD_DCtx, FreeDecoder> thread_decoder;

ZSTD_DCtx* threadDecoder() {
    if (thread_decoder &&
        ZSTD_isError(ZSTD_DCtx_reset(thread_decoder.get(), ZSTD_reset_session_only)))
        thread_decoder.reset();
    if (!thread_decoder) thread_decoder.reset(ZSTD_createDCtx());
    return thread_decoder.get();
}

// A failed decode leaves no bytes behind, only the room they took.
struct ClearUnlessDone {
    std::string& out;
    bool done = false;
    ~ClearUnlessDone() {
        if (!done) out.clear();
    }
};

// Lets the thread's decoder go when it grew too large to keep.
struct TrimDecoder {
    ~TrimDecoder() {
        if (thread_decoder && ZSTD_sizeof_DCtx(thread_decoder.get()) > kKeptDecoderSize)
            thread_decoder.reset();
    }
};

}  // namespace

Result<void> decompressZstd(std::string_view compressed, std::size_t limit, std::string& out) {
    // What `out` held is room to decode into: a buffer used for chunk after
    // chunk is neither allocated nor filled again each time.
    ClearUnlessDone cleared{out};
    if (!compressed.starts_with(kZstdMagic)) return std::unexpected(Error::NotZstd);
    ZSTD_DCtx* const context = threadDecoder();
    if (context == nullptr) return std::unexpected(Error::OutOfMemory);
    const TrimDecoder trim;

    ZSTD_inBuffer input{compressed.data(), compressed.size(), 0};
    std::size_t produced = 0;
    std::size_t pending = 1;  // nonzero while a frame is unfinished
    try {
        while (input.pos < input.size || pending != 0) {
            // One byte of room past the bound: a frame that fills it is over.
            if (out.size() - produced == 0) {
                if (out.size() > limit) return std::unexpected(Error::Overflow);
                resizeForOverwrite(out, std::min(std::max(out.capacity(), out.size() + kOutputStep), limit + 1));
            }
            ZSTD_outBuffer output{out.data() + produced, out.size() - produced, 0};
            pending = ZSTD_decompressStream(context, &output, &input);
            if (ZSTD_isError(pending)) return std::unexpected(Error::InvalidFormat);
            produced += output.pos;
            if (produced > limit) return std::unexpected(Error::Overflow);
            // The decoder leaves room in the output only once it has written
            // all it can: with the input spent and a frame unfinished, the
            // frame was cut short.
            if (pending != 0 && input.pos == input.size && output.pos < output.size)
                return std::unexpected(Error::InvalidFormat);
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    out.resize(produced);
    cleared.done = true;
    return {};
}

}  // namespace qs
