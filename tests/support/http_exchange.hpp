#pragma once
// Requests against the tests' loopback servers, in the steps the agent takes:
// open and send, one whole GET, a body read to its end.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "formats/reader.hpp"
#include "http/client.hpp"
#include "http/receive_head.hpp"
#include "http/request.hpp"

namespace qs::test {

// Parses `url` (which must outlive the request), opens and sends.
Result<Request> openAndSend(HttpClient& client, const std::string& url,
                            const RequestOptions& options = {});

// One whole GET whose response has no body left to read: open, send,
// receive, close. Returns the status.
Result<unsigned> getOnce(HttpClient& client, const std::string& url);

// One GET held open step by step, for tests that look at the request between
// the steps. The URL text, the client and the redirect buffer live as long as
// the request, since its Uri points into them; the request is closed when the
// object goes.
struct LoopbackGet {
    explicit LoopbackGet(std::string url_text) : url(std::move(url_text)) {}
    ~LoopbackGet();
    LoopbackGet(const LoopbackGet&) = delete;
    LoopbackGet& operator=(const LoopbackGet&) = delete;

    // Parses the URL and opens the request; a failure stays in `opened`.
    void open(const RequestOptions& options = {});
    // Sends the head and receives up to the final response head, resolving
    // redirects in `buffer`, or in the object's own when none is given.
    Result<Response> head(std::span<char> buffer = {});

    HttpClient client;
    std::string url;
    std::array<char, kRedirectBufferSize> redirects{};
    Result<Request> opened = std::unexpected(Error::Unexpected);
};

// Reads `reader` to its end, or to `limit` bytes, a few bytes per read so
// that bodies arrive in several.
Result<std::string> readBody(Reader& reader, std::size_t limit = SIZE_MAX);

}  // namespace qs::test
