#include "http/receive_head.hpp"

#include <array>
#include <cstring>
#include <new>

namespace qs {

namespace {

// Reads one head from the connection and leaves the bytes after it buffered
// for the body.
Result<Response> readHead(Connection& connection) {
    BufferedReader& in = connection.reader();
    HeadScanner scanner;
    std::size_t fed = 0;  // bytes of in.buffered() already given to the scanner
    for (;;) {
        const std::string_view look = in.buffered();
        if (const auto end = scanner.feed(look.substr(fed))) {
            const std::size_t length = fed + *end;
            QS_TRY_ASSIGN(Response response, parseResponseHead(look.substr(0, length)));
            in.consume(length);
            return response;
        }
        fed = look.size();
        // Tested before each read rather than after, so a head that arrived
        // whole within one larger TLS record is still taken.
        if (scanner.scanned() >= kReadBufferSize) {
            return std::unexpected(Error::HttpHeadersOversize);
        }
        auto added = in.fillMore();
        if (!added) return std::unexpected(Error::ReadFailed);
        if (*added == 0) {
            if (in.full()) return std::unexpected(Error::HttpHeadersOversize);
            return std::unexpected(scanner.scanned() == 0 ? Error::HttpConnectionClosing
                                                          : Error::HttpRequestTruncated);
        }
    }
}

// Skipped bodies pass through this buffer; its size only sets how many reads
// a long body takes.
constexpr std::size_t kDiscardBufferSize = 4096;

bool hasNoBodyByRule(const Request& request) {
    return request.method == Method::head ||
           statusClass(request.status) == StatusClass::informational || request.status == 204 ||
           request.status == 304;
}

Result<void> followRedirect(Request& request, const Response& response,
                            std::span<char> redirect_buffer) {
    if (!response.location) return std::unexpected(Error::HttpRedirectLocationMissing);
    const std::string_view location = *response.location;
    if (request.redirect_buffer_used > redirect_buffer.size()) {
        return std::unexpected(Error::HttpRedirectLocationOversize);
    }
    std::span<char> free = redirect_buffer.subspan(request.redirect_buffer_used);
    if (location.size() > free.size()) return std::unexpected(Error::HttpRedirectLocationOversize);
    std::memcpy(free.data(), location.data(), location.size());
    const std::span<char> copy = free.first(location.size());
    std::span<char> scratch = free.subspan(location.size());
    request.redirect_buffer_used = redirect_buffer.size() - scratch.size();

    QS_TRY(discardResponseBody(request));

    auto resolved = resolveReference(request.uri, copy, scratch);
    if (!resolved) {
        return std::unexpected(resolved.error() == Error::NoSpaceLeft
                                   ? Error::HttpRedirectLocationOversize
                                   : Error::HttpRedirectLocationInvalid);
    }
    request.redirect_buffer_used = redirect_buffer.size() - scratch.size();

    const auto protocol = protocolOf(*resolved);
    if (!protocol) return std::unexpected(Error::UnsupportedUriScheme);
    // What was asked for over TLS must not come back as plain text, where
    // anyone on the way could read or replace it.
    const auto current_protocol = protocolOf(request.uri);
    if (current_protocol && *current_protocol == Protocol::tls && *protocol == Protocol::plain)
        return std::unexpected(Error::HttpRedirectDowngrade);
    HostBuffer host_buffer{};
    QS_TRY_ASSIGN(const std::string_view host, connectHost(*resolved, host_buffer));

    request.client->release(request.connection);
    request.connection = nullptr;

    // A method that becomes GET sends no body and so no content type either.
    const bool to_get = response.status == 303 ||
                        ((response.status == 301 || response.status == 302) &&
                         request.method == Method::post);
    if (to_get) {
        request.method = Method::get;
        request.body = RequestBody::none;
        request.body_length = 0;
        request.headers.content_type = HeaderValue::omit();
    }
    if (request.body != RequestBody::none) return std::unexpected(Error::RedirectRequiresResend);

    QS_TRY(connectRequest(request, *resolved, *protocol, host));
    request.uri = *resolved;
    request.body_state = BodyState{};
    --request.redirect_budget;
    return sendHead(request);
}

Result<Response> receiveHeadLoop(Request& request, std::span<char> redirect_buffer) {
    for (;;) {
        if (request.connection == nullptr) return std::unexpected(Error::ReadFailed);
        Connection& connection = *request.connection;
        QS_TRY_ASSIGN(Response response, readHead(connection));
        request.status = response.status;
        if (hasNoBodyByRule(request)) {
            // Whatever its head announces, nothing follows it: an empty body
            // lets a reader end at once instead of waiting for bytes that
            // never come.
            request.body_state.beginBody(BodyFraming::content_length, 0);
        } else {
            request.body_state.beginBody(
                framingFor(response.transfer_encoding == TransferEncoding::chunked,
                           response.content_length),
                response.content_length.value_or(0));
        }

        if (response.status == 100 && request.handle_continue) {
            request.body_state = BodyState{};
            continue;
        }
        if (!response.keep_alive || !request.keep_alive) connection.markClosing();

        const StatusClass kind = statusClass(response.status);
        if (kind == StatusClass::informational || response.status == 204 ||
            response.status == 304) {
            return response;
        }
        if (kind == StatusClass::redirect) {
            if (request.redirect_budget == 0) {
                if (!discardResponseBody(request)) connection.markClosing();
                return std::unexpected(Error::TooManyHttpRedirects);
            }
            if (request.redirect_budget != kRedirectsNotFollowed) {
                QS_TRY(followRedirect(request, response, redirect_buffer));
                continue;
            }
        }
        if (response.content_encoding == ContentEncoding::zstd ||
            response.content_encoding == ContentEncoding::compress) {
            return std::unexpected(Error::HttpContentEncodingUnsupported);
        }
        return response;
    }
}

}  // namespace

Result<Response> receiveHead(Request& request, std::span<char> redirect_buffer) {
    Result<Response> result = std::unexpected(Error::OutOfMemory);
    try {
        result = receiveHeadLoop(request, redirect_buffer);
    } catch (const std::bad_alloc&) {
    }
    // After most failures the connection holds an unknown rest of a
    // response and must not carry another request. The two exceptions
    // stopped at a complete head whose body framing is intact: the body
    // was skipped (too many redirects) or can still be (a coding not
    // accepted), so closeRequest may keep the connection.
    if (!result && request.connection != nullptr && result.error() != Error::TooManyHttpRedirects &&
        result.error() != Error::HttpContentEncodingUnsupported) {
        request.connection->markClosing();
    }
    return result;
}

Result<void> discardResponseBody(Request& request) {
    if (request.connection == nullptr) return std::unexpected(Error::ReadFailed);
    Connection& connection = *request.connection;
    BodyState& state = request.body_state;
    if (state.phase == BodyState::Phase::ready) return {};
    if (state.phase == BodyState::Phase::head_received && hasNoBodyByRule(request)) {
        state.phase = BodyState::Phase::ready;
        return {};
    }
    std::array<char, kDiscardBufferSize> sink{};
    const auto discarded = discardBody(connection.reader(), state, sink);
    // A body that ran to the end of the connection, or a failed read, leaves
    // nothing the next request could use.
    if (!connectionReusableAfterBody(state)) connection.markClosing();
    if (!discarded) return std::unexpected(state.body_error.value_or(Error::ReadFailed));
    return {};
}

BodyReader bodyReader(Request& request) {
    return BodyReader(request.connection->reader(), request.body_state, request.connection);
}

ContentCoding contentCodingOf(const Response& response) {
    switch (response.content_encoding) {
    case ContentEncoding::gzip: return ContentCoding::gzip;
    case ContentEncoding::deflate: return ContentCoding::deflate;
    case ContentEncoding::identity:
    case ContentEncoding::zstd:
    case ContentEncoding::compress: break;
    }
    return ContentCoding::identity;
}

DecodingBodyReader decodingBodyReader(Request& request, const Response& response,
                                      std::span<char> workspace) {
    return DecodingBodyReader(request.connection->reader(), request.body_state,
                              contentCodingOf(response), workspace, request.connection);
}

}  // namespace qs
