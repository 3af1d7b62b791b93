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

// The workspace a caller reserves for one decoder, twice deflate's 32 KiB
// window. The zlib engine keeps its whole state in it (that history, its
// tables and the compressed-input buffer); ISA-L's state is larger than
// this, so that engine allocates its state and uses the workspace as its
// input buffer.
inline constexpr std::size_t kInflateWorkspaceSize = 65536;

class Inflater final : public Reader {
public:
    // Nothing is read at creation. `workspace` must hold kInflateWorkspaceSize
    // bytes and outlive the decoder. An engine the build lacks falls back to
    // zlib.
    Inflater(Reader& input, Container container, std::span<char> workspace,
             InflateEngine engine = defaultInflateEngine());
    ~Inflater() override;
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Decoded bytes; 0 once the first member (gzip) or the stream (zlib) has
    // ended with a good trailer. Whatever follows it in the input is never
    // delivered. Every defect (bad header, bad deflate data, a trailer that
    // does not match the data, input that ends early or fails) is ReadFailed,
    // and every later read fails the same way. OutOfMemory only when the
    // engine's state cannot be obtained (a workspace smaller than
    // kInflateWorkspaceSize, or no memory for ISA-L's state).
    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;

    [[nodiscard]] InflateEngine engine() const { return engine_; }

    struct Decoder;  // the engine's state; only inflater.cpp knows its shape

private:
    enum class Phase { fresh, running, ended, failed };

    [[nodiscard]] Result<void> start();

    Reader& input_;
    Container container_;
    std::span<char> workspace_;
    InflateEngine engine_;
    Phase phase_ = Phase::fresh;
    Decoder* state_ = nullptr;
};

}  // namespace qs
