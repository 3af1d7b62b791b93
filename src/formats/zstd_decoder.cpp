#include "formats/zstd_decoder.hpp"

#include <algorithm>
#include <memory>
#include <new>

#include <zstd.h>

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

}  // namespace

Result<void> decompressZstd(std::string_view compressed, std::size_t limit, std::string& out) {
    out.clear();
    if (!compressed.starts_with(kZstdMagic)) return std::unexpected(Error::NotZstd);
    std::unique_ptr<ZSTD_DCtx, FreeDecoder> context(ZSTD_createDCtx());
    if (!context) return std::unexpected(Error::OutOfMemory);

    ZSTD_inBuffer input{compressed.data(), compressed.size(), 0};
    std::size_t produced = 0;
    std::size_t pending = 1;  // nonzero while a frame is unfinished
    try {
        while (input.pos < input.size || pending != 0) {
            // One byte of room past the bound: a frame that fills it is over.
            if (out.size() - produced == 0) {
                if (out.size() > limit) return std::unexpected(Error::Overflow);
                out.resize(std::min(out.size() + kOutputStep, limit + 1));
            }
            ZSTD_outBuffer output{out.data() + produced, out.size() - produced, 0};
            pending = ZSTD_decompressStream(context.get(), &output, &input);
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
    return {};
}

}  // namespace qs
