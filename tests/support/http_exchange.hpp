#pragma once
// Requests against the tests' loopback servers, in the steps the agent takes:
// open and send, one whole GET, a body read to its end.

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/reader.hpp"
#include "http/client.hpp"
#include "http/request.hpp"

namespace qs::test {

// Parses `url` (which must outlive the request), opens and sends.
Result<Request> openAndSend(HttpClient& client, const std::string& url,
                            const RequestOptions& options = {});

// One whole GET whose response has no body left to read: open, send,
// receive, close. Returns the status.
Result<unsigned> getOnce(HttpClient& client, const std::string& url);

// Reads `reader` to its end, or to `limit` bytes, a few bytes per read so
// that bodies arrive in several.
Result<std::string> readBody(Reader& reader, std::size_t limit = SIZE_MAX);

}  // namespace qs::test
