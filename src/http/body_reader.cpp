#include "http/body_reader.hpp"

#include <algorithm>
#include <array>

#include "http/connection.hpp"
#include "http/response.hpp"

namespace qs {
namespace {

constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void BodyState::beginBody(BodyFraming body_framing, std::uint64_t content_length) {
    phase = Phase::head_received;
    framing = body_framing;
    remaining = body_framing == BodyFraming::content_length ? content_length : 0;
    chunk_end_left = 0;
    body_error.reset();
    trailers = {};
}

Result<std::size_t> BodyReader::read(std::span<char> out) {
    if (out.empty() && state_.phase != BodyState::Phase::failed) return 0;
    if (state_.phase == BodyState::Phase::head_received) {
        switch (state_.framing) {
            case BodyFraming::content_length: state_.phase = BodyState::Phase::content_length; break;
            case BodyFraming::chunked: state_.phase = BodyState::Phase::chunked; break;
            case BodyFraming::until_close: state_.phase = BodyState::Phase::until_close; break;
        }
    }
    switch (state_.phase) {
        case BodyState::Phase::ready: return 0;
        case BodyState::Phase::content_length: return readContentLength(out);
        case BodyState::Phase::chunked: return readChunked(out);
        case BodyState::Phase::until_close: {
            // The end of the connection is the end of the body, not an error,
            // unless it may be a forged end: a TLS stream cut off without
            // close_notify leaves the body truncated.
            auto n = connection_.read(out);
            if (!n) return fail(std::nullopt);
            if (*n == 0 && transport_ != nullptr && !transport_->endConfirmed())
                return fail(Error::UnexpectedEndOfStream);
            return *n;
        }
        case BodyState::Phase::head_received:
        case BodyState::Phase::failed: break;
    }
    return std::unexpected(Error::ReadFailed);
}

std::unexpected<Error> BodyReader::fail(std::optional<Error> body_error) {
    state_.phase = BodyState::Phase::failed;
    state_.body_error = body_error;
    return std::unexpected(Error::ReadFailed);
}

Result<std::size_t> BodyReader::readContentLength(std::span<char> out) {
    if (state_.remaining == 0) {
        state_.phase = BodyState::Phase::ready;
        return 0;
    }
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), state_.remaining));
    auto n = connection_.read(out.first(want));
    // A body cut short is the connection's failure, not a framing defect.
    if (!n || *n == 0) return fail(std::nullopt);
    state_.remaining -= *n;
    // Everything announced has arrived: the connection is free for the next
    // request even if the caller never asks for the end of the stream.
    if (state_.remaining == 0) state_.phase = BodyState::Phase::ready;
    return *n;
}

Result<std::size_t> BodyReader::readChunked(std::span<char> out) {
    for (;;) {
        if (state_.remaining > 0) {
            const auto want =
                static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), state_.remaining));
            auto n = connection_.read(out.first(want));
            if (!n) return fail(std::nullopt);
            if (*n == 0) return fail(Error::HttpChunkTruncated);
            state_.remaining -= *n;
            if (state_.remaining == 0) state_.chunk_end_left = 2;
            return *n;
        }
        if (state_.chunk_end_left > 0) {
            QS_TRY(readChunkEnd());
            continue;
        }
        QS_TRY_ASSIGN(const std::uint64_t size, readChunkSize());
        if (size == 0) {
            QS_TRY(readTrailers());
            state_.phase = BodyState::Phase::ready;
            return 0;
        }
        state_.remaining = size;
    }
}

Result<void> BodyReader::needByte() {
    if (!connection_.buffered().empty()) return {};
    auto n = connection_.fillMore();
    if (!n) return fail(std::nullopt);
    if (*n == 0) return fail(Error::HttpChunkTruncated);
    return {};
}

Result<void> BodyReader::readChunkEnd() {
    while (state_.chunk_end_left > 0) {
        QS_TRY(needByte());
        const char expected = state_.chunk_end_left == 2 ? '\r' : '\n';
        if (connection_.buffered().front() != expected) return fail(Error::HttpChunkInvalid);
        connection_.consume(1);
        --state_.chunk_end_left;
    }
    return {};
}

Result<std::uint64_t> BodyReader::readChunkSize() {
    // The line is consumed as it arrives, so an extension of any length
    // passes without being collected. A line without digits is size 0.
    enum class State : std::uint8_t { size, extension, after_cr };
    State state = State::size;
    std::uint64_t length = 0;
    for (;;) {
        QS_TRY(needByte());
        const std::string_view look = connection_.buffered();
        for (std::size_t i = 0; i < look.size(); ++i) {
            const char c = look[i];
            bool done = false;
            switch (state) {
                case State::size: {
                    const int digit = hexDigitValue(c);
                    if (digit >= 0) {
                        if ((length >> 60) != 0) return fail(Error::HttpChunkInvalid);
                        length = length * 16 + static_cast<std::uint64_t>(digit);
                    } else if (c == '\r') {
                        state = State::after_cr;
                    } else if (c == '\n') {
                        done = true;
                    } else {
                        state = State::extension;
                    }
                    break;
                }
                case State::extension:
                    if (c == '\r') state = State::after_cr;
                    else if (c == '\n') done = true;
                    break;
                case State::after_cr:
                    if (c != '\n') return fail(Error::HttpChunkInvalid);
                    done = true;
                    break;
            }
            if (done) {
                connection_.consume(i + 1);
                return length;
            }
        }
        connection_.consume(look.size());
    }
}

Result<void> BodyReader::readTrailers() {
    // The last chunk's line has just ended, so the section is over at the
    // first empty line: CR LF (or LF) right away ends it.
    HeadScanner scanner(HeadScanner::Start::after_line_end);
    std::size_t fed = 0;  // bytes of the buffer already given to the scanner
    for (;;) {
        const std::string_view look = connection_.buffered();
        if (const auto end = scanner.feed(look.substr(fed))) {
            const std::size_t length = fed + *end;
            state_.trailers = look.substr(0, length);
            connection_.consume(length);
            return {};
        }
        fed = look.size();
        // The section is kept whole in the connection's buffer, so that
        // buffer is its limit.
        if (connection_.full()) return fail(Error::HttpHeadersOversize);
        auto n = connection_.fillMore();
        if (!n) return fail(std::nullopt);
        if (*n == 0) return fail(Error::HttpChunkTruncated);
    }
}

DecodingBodyReader::DecodingBodyReader(BufferedReader& connection, BodyState& state,
                                       ContentCoding coding, std::span<char> workspace,
                                       const Connection* transport)
    : state_(state), framed_(connection, state, transport) {
    switch (coding) {
        case ContentCoding::identity: break;
        case ContentCoding::gzip: inflater_.emplace(framed_, Container::gzip, workspace); break;
        case ContentCoding::deflate: inflater_.emplace(framed_, Container::zlib, workspace); break;
    }
}

Result<std::size_t> DecodingBodyReader::read(std::span<char> out) {
    if (!inflater_) return framed_.read(out);
    auto n = inflater_->read(out);
    if (!n) {
        // A framing failure below has already recorded itself; a decoding
        // defect leaves the body's remainder unread.
        if (state_.phase != BodyState::Phase::failed) {
            state_.phase = BodyState::Phase::failed;
            state_.body_error.reset();
        }
        // Running out of memory for the decoder's state is not a defect of
        // the body; the caller reports it as such.
        if (n.error() == Error::OutOfMemory) return std::unexpected(Error::OutOfMemory);
        return std::unexpected(Error::ReadFailed);
    }
    return *n;
}

Result<void> discardBody(BufferedReader& connection, BodyState& state, std::span<char> transfer) {
    std::array<char, 512> fallback{};
    if (transfer.empty()) transfer = fallback;
    BodyReader body(connection, state);
    for (;;) {
        QS_TRY_ASSIGN(const std::size_t n, body.read(transfer));
        if (n == 0) return {};
    }
}

}  // namespace qs
