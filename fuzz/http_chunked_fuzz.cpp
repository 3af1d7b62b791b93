// libFuzzer target for body framing: the chunk-size parser and the chunked
// BodyReader (and, more briefly, content-length framing and a gzip coding
// on top of chunks) fed from a MemoryReader through the same look-ahead
// buffer a connection uses.
//
// Input: a 4-byte prefix, then the bytes after the response head.
//   byte 0: framing: 0-1 chunked, 2 content-length (length = byte 3 * 3),
//           3 chunked carrying a gzip coding
//   byte 1: the most bytes the source hands over per read (0: no limit), so
//           lines and chunk ends are split across reads
//   byte 2: look-ahead capacity: 0 gives the connection's 8192 bytes, any
//           other value that many times 4 (small ones reach the trailer
//           limit quickly)
//   byte 3: seeds the sizes the caller asks for per read
//
// The chunked and content-length results are compared with a decoder
// written here straight from the framing rules over the whole input: the
// same body bytes, the same recorded framing error, the same trailer bytes,
// and the same bytes left on the connection after the body.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/buffered_reader.hpp"
#include "formats/inflater.hpp"
#include "formats/memory_reader.hpp"
#include "http/body_reader.hpp"
#include "http/connection.hpp"

namespace {

using namespace qs;

// Hands the source's bytes over at most `limit` at a time.
class TrickleReader final : public Reader {
public:
    TrickleReader(Reader& source, std::size_t limit) : source_(source), limit_(limit) {}
    Result<std::size_t> read(std::span<char> out) override {
        if (limit_ != 0 && out.size() > limit_) out = out.first(limit_);
        return source_.read(out);
    }

private:
    Reader& source_;
    std::size_t limit_;
};

struct Outcome {
    std::string body;
    std::optional<Error> body_error;
    bool failed = false;
    std::string_view trailers;
    std::size_t end = 0;  // input bytes the framing took
};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Outcome failWith(Outcome outcome, std::optional<Error> error) {
    outcome.failed = true;
    outcome.body_error = error;
    return outcome;
}

Outcome expectedChunked(std::string_view in, std::size_t capacity) {
    Outcome o;
    std::size_t p = 0;
    for (;;) {
        enum class State { size, extension, after_cr } state = State::size;
        std::uint64_t length = 0;
        for (bool done = false; !done;) {
            if (p >= in.size()) return failWith(o, Error::HttpChunkTruncated);
            const char c = in[p++];
            switch (state) {
                case State::size:
                    if (const int digit = hexValue(c); digit >= 0) {
                        if (length > (UINT64_MAX - static_cast<std::uint64_t>(digit)) / 16)
                            return failWith(o, Error::HttpChunkInvalid);
                        length = length * 16 + static_cast<std::uint64_t>(digit);
                    } else if (c == '\r') {
                        state = State::after_cr;
                    } else if (c == '\n') {
                        done = true;
                    } else {
                        state = State::extension;
                    }
                    break;
                case State::extension:
                    if (c == '\r') state = State::after_cr;
                    else if (c == '\n') done = true;
                    break;
                case State::after_cr:
                    if (c != '\n') return failWith(o, Error::HttpChunkInvalid);
                    done = true;
                    break;
            }
        }
        if (length == 0) break;
        if (in.size() - p < length) {
            o.body.append(in.substr(p));
            return failWith(o, Error::HttpChunkTruncated);
        }
        o.body.append(in.substr(p, static_cast<std::size_t>(length)));
        p += static_cast<std::size_t>(length);
        for (const char want : {'\r', '\n'}) {
            if (p >= in.size()) return failWith(o, Error::HttpChunkTruncated);
            if (in[p] != want) return failWith(o, Error::HttpChunkInvalid);
            ++p;
        }
    }
    // The trailer section ends at the first empty line, counting the line
    // end of the last chunk's size line as just seen.
    const std::string section = "\r\n" + std::string(in.substr(p));
    for (std::size_t i = 2; i < section.size(); ++i) {
        if (section[i] != '\n') continue;
        const bool ends = section[i - 1] == '\n' || (i >= 3 && section.compare(i - 3, 3, "\r\n\r") == 0);
        if (!ends) continue;
        const std::size_t length = i - 1;
        if (length > capacity) return failWith(o, Error::HttpHeadersOversize);
        o.trailers = in.substr(p, length);
        o.end = p + length;
        return o;
    }
    return failWith(o, in.size() - p >= capacity ? Error::HttpHeadersOversize
                                                 : Error::HttpChunkTruncated);
}

Outcome expectedContentLength(std::string_view in, std::uint64_t length) {
    Outcome o;
    if (in.size() < length) {
        o.body = std::string(in);
        return failWith(o, std::nullopt);
    }
    o.body = std::string(in.substr(0, static_cast<std::size_t>(length)));
    o.end = static_cast<std::size_t>(length);
    return o;
}

class ReadSizes {
public:
    explicit ReadSizes(std::uint8_t seed) : state_(seed | 1u) {}
    std::size_t next() {
        state_ = state_ * 1103515245u + 12345u;
        const unsigned pick = (state_ >> 16) % 16;
        if (pick == 0) return 20000;  // larger than any look-ahead: direct reads
        return 1 + (state_ >> 20) % 97;
    }

private:
    unsigned state_;
};

}  // namespace

// The target feeds bodies without a connection, so the end-of-stream
// question is never asked; this definition only satisfies the linker
// without pulling the TLS stack into the target.
bool qs::Connection::endConfirmed() const { return true; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const unsigned mode = data[0] % 4;
    const std::size_t trickle = data[1];
    const std::size_t capacity = data[2] == 0 ? 8192 : static_cast<std::size_t>(data[2]) * 4;
    ReadSizes sizes(data[3]);
    const std::vector<char> copy(data + 4, data + size);
    const std::string_view input(copy.data(), copy.size());

    MemoryReader memory(input);
    TrickleReader source(memory, trickle);
    std::vector<char> storage(capacity);
    BufferedReader connection(source, storage);
    BodyState state;
    const std::uint64_t content_length = static_cast<std::uint64_t>(data[3]) * 3;
    state.beginBody(mode == 2 ? BodyFraming::content_length : BodyFraming::chunked, content_length);

    std::vector<char> out(20000);
    if (mode == 3) {
        std::vector<char> workspace(kInflateWorkspaceSize);
        DecodingBodyReader body(connection, state, ContentCoding::gzip, workspace);
        for (;;) {
            const auto n = body.read(std::span<char>(out).first(sizes.next()));
            if (!n) {
                if (state.phase != BodyState::Phase::failed) std::abort();
                if (body.read(out)) std::abort();
                return 0;
            }
            if (*n == 0) return 0;
        }
    }

    const Outcome expected =
        mode == 2 ? expectedContentLength(input, content_length) : expectedChunked(input, capacity);
    BodyReader body(connection, state);
    std::string got;
    for (;;) {
        const std::size_t want = sizes.next();
        const auto n = body.read(std::span<char>(out).first(want));
        if (!n) {
            if (!expected.failed || got != expected.body) std::abort();
            if (state.body_error != expected.body_error) std::abort();
            if (state.phase != BodyState::Phase::failed) std::abort();
            if (body.read(out)) std::abort();  // stays failed
            return 0;
        }
        if (*n > want) std::abort();
        if (*n == 0) break;
        got.append(out.data(), *n);
        if (got.size() > expected.body.size()) std::abort();
    }
    if (expected.failed || got != expected.body) std::abort();
    if (state.phase != BodyState::Phase::ready || state.body_error) std::abort();
    if (mode != 2 && state.trailers != expected.trailers) std::abort();
    const auto again = body.read(out);
    if (!again || *again != 0) std::abort();

    // What the framing did not take is still there for the next response.
    std::string left;
    for (;;) {
        const auto n = connection.read(out);
        if (!n) std::abort();
        if (*n == 0) break;
        left.append(out.data(), *n);
    }
    if (left != input.substr(expected.end)) std::abort();
    return 0;
}
