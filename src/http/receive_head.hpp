#pragma once
// The response side of an exchange up to the final head: reading and
// parsing heads, skipping interim 100 responses, following redirects.

#include <cstddef>
#include <span>

#include "http/request.hpp"
#include "http/response.hpp"

namespace qs {

// Holds the texts of followed redirects; the request's Uri points into it
// after the first redirect, so it must live as long as the request.
inline constexpr std::size_t kRedirectBufferSize = 8192;

// Reads response heads until a final one: interim 100 responses are skipped
// (with handle_continue), redirects followed while the request's budget
// lasts. On success the request holds the response's framing and its
// reader is at the start of the body.
// Errors: HttpHeadersOversize, HttpConnectionClosing, HttpRequestTruncated,
// ReadFailed, HttpHeadersInvalid, HttpContentEncodingUnsupported,
// TooManyHttpRedirects, HttpRedirectLocationMissing,
// HttpRedirectLocationOversize, HttpRedirectLocationInvalid,
// UnsupportedUriScheme, UriMissingHost, UriHostTooLong,
// RedirectRequiresResend, HttpChunkInvalid, HttpChunkTruncated, the
// connection errors of HttpClient::connect, WriteFailed, OutOfMemory.
[[nodiscard]] Result<Response> receiveHead(Request& request, std::span<char> redirect_buffer);

// Reads the rest of the current response's body and throws it away, so the
// connection can carry the next request. A body that ends with the
// connection leaves it closing, as does a failure. Errors: HttpChunkInvalid,
// HttpChunkTruncated, HttpHeadersOversize (trailers), ReadFailed.
[[nodiscard]] Result<void> discardResponseBody(Request& request);

// The body of the final response, framing removed. The request (and its
// connection) must outlive the reader; reading it to its end is what lets
// closeRequest keep the connection.
[[nodiscard]] BodyReader bodyReader(Request& request);

// The same, decoded by the response's content coding (identity, gzip or
// deflate: receiveHead refuses the others). `workspace` is the
// decoder's (kInflateWorkspaceSize bytes) for gzip and deflate, unused
// otherwise.
[[nodiscard]] DecodingBodyReader decodingBodyReader(Request& request, const Response& response,
                                                    std::span<char> workspace);
[[nodiscard]] ContentCoding contentCodingOf(const Response& response);

}  // namespace qs
