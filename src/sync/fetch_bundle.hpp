#pragma once
// The fetch half of a sync cycle: one conditional GET with a fresh client,
// the body read to its end, either into memory or through a consumer that
// installs it as it arrives.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/option_keys.hpp"
#include "http/proxy.hpp"
#include "http/client.hpp"
#include "platform/page_buffer.hpp"
#include "sync/payload_source.hpp"
#include "tls/digest.hpp"
#include "tls/tls_stream.hpp"

namespace qs {

struct FetchResult {
    enum class Kind { not_modified, fetched, failed };
    Kind kind = Kind::failed;
    // fetched: the ETag exactly as the final response gave it (quotes and
    // W/ kept), possibly empty, and the whole decoded body.
    std::string etag;
    // fetched: the length of the decoded body; the body itself only when no
    // consumer took it.
    std::uint64_t size = 0;
    platform::PageBuffer body;
    // fetched: the Last-Modified value of the final response, trimmed like
    // the ETag; empty when there is none.
    std::string last_modified;
    // fetched with FetchOptions::digest: the SHA-256 of the decoded body.
    std::optional<Sha256Digest> digest;
    // failed: the reason for the operator ("timed out" when a time limit
    // ended the fetch, "interrupted" when a stop signal did); the cause was
    // logged already.
    std::string reason;
    // failed because the body passed FetchOptions::max_body_bytes: that
    // limit, for the caller's line; 0 otherwise.
    std::uint64_t over_limit = 0;
};

// A bundle's TLS keys, as views of its configuration (which must outlive
// the fetch); an empty view is a key not given.
struct TlsSettings {
    // The CA certificates the bundle trusts in place of the system store.
    std::string_view ca_file;
    // The client certificate and key, used when both are given.
    std::string_view client_cert;
    std::string_view client_key;
    TlsProfile profile = TlsProfile::baseline;
};
[[nodiscard]] TlsSettings tlsSettingsOf(const BundleOptions& options);

// What a fetch may do beyond the plain conditional GET.
struct FetchOptions {
    // Takes the body of a 200 answer as it arrives, instead of
    // FetchResult::body; its version key is the ETag.
    PayloadConsumer* consumer = nullptr;
    // Sent as If-Modified-Since when there is no ETag to send.
    std::string_view if_modified_since;
    // Forward proxies; none: every request goes direct.
    const ProxyRoutes* proxy = nullptr;
    // Hash the body while it is read.
    bool digest = false;
    // Bounds on the fetch's network steps; a stop signal ends any of them.
    TimeLimits limits;
    // The largest decoded body accepted. The fetch ends as soon as the body
    // passes it, and before reading any of it when an unencoded body
    // announces a larger length, so memory stays bounded by the limit.
    std::optional<std::uint64_t> max_body_bytes;
    TlsSettings tls;
};

// The value of the first header line of the head named "etag" (ASCII letters
// in any case, nothing around the name), with spaces and tabs trimmed from
// the value; empty when there is none. `raw_head` is the status line and the
// header lines, each ended by CR LF, up to the empty line.
[[nodiscard]] std::string etagFromHead(std::string_view raw_head);
// The same for any header name (compared ignoring ASCII letter case).
[[nodiscard]] std::string headerFromHead(std::string_view raw_head, std::string_view name);

// `authorization` absent or empty sends no extra Authorization header.
// `limits` bound the fetch's network steps; a stop signal ends any of them.
[[nodiscard]] FetchResult fetchBundle(std::string_view url, std::string_view cached_etag,
                                      const std::optional<std::string>& authorization,
                                      bool tls_verify, const FetchOptions& options = {});

}  // namespace qs
