#pragma once
// Streaming gzip (RFC 1952) and zlib (RFC 1950) decoder: a Reader of the
// decompressed bytes on top of a Reader of the compressed ones. Archive
// payloads and response bodies both come through here, so this is the one
// place that knows which deflate library does the work.

#include <cstddef>
#include <span>

#include "formats/reader.hpp"

namespace qs {

enum class Container { gzip, zlib };

// zlib is always present; ISA-L's igzip is two to three times faster on
// x86-64 and is used by default where the build found it.
enum class InflateEngine { zlib, isal };

[[nodiscard]] InflateEngine defaultInflateEngine();
[[nodiscard]] bool inflateEngineAvailable(InflateEngine engine);

// The decoding window a caller reserves for one decoder. The zlib engine
// keeps its whole state in it (its 32 KiB history, its tables and the
// compressed-input buffer); ISA-L's state is larger than this, so that engine
// allocates its state and uses the window as its input buffer.
inline constexpr std::size_t kInflateWindowSize = 65536;

class Inflater final : public Reader {
public:
    // Nothing is read at creation. `window` must hold kInflateWindowSize bytes
    // and outlive the decoder. An engine the build lacks falls back to zlib.
    Inflater(Reader& input, Container container, std::span<char> window,
             InflateEngine engine = defaultInflateEngine());
    ~Inflater() override;
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Decoded bytes; 0 once the first member (gzip) or the stream (zlib) has
    // ended with a good trailer. Whatever follows it in the input is never
    // delivered. Every defect (bad header, bad deflate data, a trailer that
    // does not match the data, input that ends early or fails) is ReadFailed,
    // and every later read fails the same way. OutOfMemory only when the
    // engine's state cannot be obtained (a window smaller than
    // kInflateWindowSize, or no memory for ISA-L's state).
    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;

    [[nodiscard]] InflateEngine engine() const { return engine_; }

    struct Engine;  // the library's state; only inflater.cpp knows its shape

private:
    enum class Phase { fresh, running, ended, failed };

    [[nodiscard]] Result<void> start();

    Reader& input_;
    Container container_;
    std::span<char> window_;
    InflateEngine engine_;
    Phase phase_ = Phase::fresh;
    Engine* state_ = nullptr;
};

}  // namespace qs
