#pragma once
// Response bodies as Readers. The framing reader takes the body off the
// connection's buffered input (where the head parser left the bytes after the
// head) and removes its framing: a content length, chunked coding, or the end
// of the connection. The decoding reader inflates a gzip or deflate content
// coding on top of it. Both keep their progress in a BodyState that the
// request owns, so closing the request can tell whether the connection may
// carry the next one.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "formats/buffered_reader.hpp"
#include "formats/inflater.hpp"
#include "formats/reader.hpp"

namespace qs {

class Connection;

enum class BodyFraming : std::uint8_t { content_length, chunked, until_close };

// Chunked coding wins over a content length; with neither the body runs to
// the end of the connection.
[[nodiscard]] constexpr BodyFraming framingFor(bool chunked,
                                               std::optional<std::uint64_t> content_length) {
    if (chunked) return BodyFraming::chunked;
    if (content_length) return BodyFraming::content_length;
    return BodyFraming::until_close;
}

// The content codings a body can arrive in once the head was accepted.
enum class ContentCoding : std::uint8_t { identity, gzip, deflate };

// Where the body of the current response stands.
struct BodyState {
    enum class Phase : std::uint8_t {
        ready,          // nothing pending: no head yet, or the body was read to its end
        head_received,  // a head was parsed and no body byte read yet
        content_length, // body partly read, `remaining` bytes to go
        chunked,        // body partly read, inside the chunked coding
        until_close,    // body runs to the end of the connection
        failed,         // a read failed; the stream position is unknown
    };

    Phase phase = Phase::ready;
    BodyFraming framing = BodyFraming::until_close;
    // content_length: bytes still to come; chunked: data bytes left in the
    // current chunk.
    std::uint64_t remaining = 0;
    // chunked: bytes of the current chunk's closing CR LF still expected (2,
    // then 1 once the CR was seen); 0 with `remaining` 0 means a chunk-size
    // line comes next.
    std::uint8_t chunk_end_left = 0;
    // The framing defect behind the last ReadFailed, if it was one:
    // HttpChunkInvalid, HttpChunkTruncated or HttpHeadersOversize. Failures
    // of the connection itself and of the decoder are not recorded here.
    std::optional<Error> body_error;
    // Raw trailer lines of a chunked body (the terminating empty line
    // included), not interpreted; they live in the connection's buffer and
    // stay valid only until the connection is read again.
    std::string_view trailers;

    // Called when a head has been parsed: the body that follows it is framed
    // by `framing` (`content_length` counts for content-length framing only).
    void beginBody(BodyFraming body_framing, std::uint64_t content_length);
};

// True when nothing of the response is left on the connection: its body was
// read to its end under framing that marks the end (content length or
// chunked). A body that ran to the end of the connection, a body partly read,
// a failed read, or a head whose body was never read make it false. (A
// response without a body by rule, 1xx/204/304, is the caller's to judge.)
[[nodiscard]] constexpr bool connectionReusableAfterBody(const BodyState& state) {
    return state.phase == BodyState::Phase::ready;
}

// Delivers the framed body; 0 at its end. Every failure is ReadFailed: a
// framing defect is recorded in state.body_error (HttpChunkInvalid for a
// malformed chunk-size line or chunk end, HttpChunkTruncated when the
// connection ends inside a chunked body, HttpHeadersOversize when the
// trailer section fills the connection's buffer without ending); a
// content-length body cut short and a failing connection record nothing.
// After a failure every read fails again. Reading may move the bytes in the
// connection's buffer, so views into the head must be copied first.
//
// `transport`, when given, is asked at the end of a body framed by the end of
// the connection whether that end is the server's own (a TLS stream ended
// with close_notify); when it is not, the body is truncated: ReadFailed with
// UnexpectedEndOfStream recorded.
class BodyReader final : public Reader {
public:
    BodyReader(BufferedReader& connection, BodyState& state, const Connection* transport = nullptr)
        : connection_(connection), state_(state), transport_(transport) {}

    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;

private:
    [[nodiscard]] Result<std::size_t> readContentLength(std::span<char> out);
    [[nodiscard]] Result<std::size_t> readChunked(std::span<char> out);
    [[nodiscard]] Result<std::uint64_t> readChunkSize();
    [[nodiscard]] Result<void> readChunkEnd();
    [[nodiscard]] Result<void> readTrailers();
    [[nodiscard]] Result<void> needByte();
    // Marks the body failed, records `body_error`, and gives ReadFailed.
    [[nodiscard]] std::unexpected<Error> fail(std::optional<Error> body_error);

    BufferedReader& connection_;
    BodyState& state_;
    const Connection* transport_;
};

// The framed body decoded by its content coding: identity passes the framed
// bytes on; gzip decodes one gzip member (bytes after it are never read, so
// the connection will not be reused), deflate a zlib stream. `workspace` is
// the decoder's (kInflateWorkspaceSize bytes) and must outlive the reader. A
// decoding defect is ReadFailed, with nothing in body_error, and leaves the
// body failed; OutOfMemory means the decoder could not get its state.
class DecodingBodyReader final : public Reader {
public:
    DecodingBodyReader(BufferedReader& connection, BodyState& state, ContentCoding coding,
                       std::span<char> workspace, const Connection* transport = nullptr);

    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;

private:
    BodyState& state_;
    BodyReader framed_;
    std::optional<Inflater> inflater_;
};

// Reads the framed body to its end and throws it away, passing it through
// `transfer`; used before a connection carries the next request. ReadFailed
// as for BodyReader.
[[nodiscard]] Result<void> discardBody(BufferedReader& connection, BodyState& state,
                                       std::span<char> transfer);

}  // namespace qs
