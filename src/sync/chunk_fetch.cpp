#include "sync/chunk_fetch.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "formats/inflater.hpp"
#include "http/receive_head.hpp"
#include "http/request.hpp"
#include "http/uri.hpp"
#include "util/room.hpp"

namespace qs {

namespace {

constexpr std::string_view kUserAgent = "quillstead/" QUILLSTEAD_VERSION;
// How much more room a body without a length (or longer than it said) is
// given at a time.
constexpr std::size_t kReceiveStep = 64 * 1024;

// Closes the request on every path out of a fetch; a request that ended
// cleanly leaves its connection in the client's pool for the next chunk.
class OpenRequest {
public:
    explicit OpenRequest(Request&& request) : request_(std::move(request)) {}
    OpenRequest(const OpenRequest&) = delete;
    OpenRequest& operator=(const OpenRequest&) = delete;
    ~OpenRequest() { closeRequest(request_); }
    Request& get() { return request_; }

private:
    Request request_;
};

}  // namespace

HttpChunkSource::HttpChunkSource(HttpClient& client, ChunkStoreOptions options)
    : client_(client), options_(std::move(options)) {
    if (!options_.store_url.ends_with('/')) options_.store_url += '/';
}

std::string HttpChunkSource::chunkUrl(const ChunkId& id) const {
    const std::string hex = chunkIdHex(id);
    return options_.store_url + hex.substr(0, 4) + "/" + hex + ".cacnk";
}

Result<void> HttpChunkSource::fetch(const ChunkId& id, std::uint64_t limit, std::string& into) {
    into.clear();
    const std::string url = chunkUrl(id);
    QS_TRY_ASSIGN(const Uri uri, parseUri(url));

    std::array<ExtraHeader, 2> extra{};
    std::size_t extra_count = 0;
    extra[extra_count++] = {"User-Agent", kUserAgent};
    if (options_.authorization && !options_.authorization->empty())
        extra[extra_count++] = {"Authorization", *options_.authorization};
    RequestOptions request_options;
    request_options.extra_headers = std::span<const ExtraHeader>(extra.data(), extra_count);
    request_options.proxy = options_.proxy;

    // Followed redirects keep their targets here while the request refers
    // to them: made before the request, so it goes after the request closes.
    auto redirect_buffer = std::make_unique<std::array<char, kRedirectBufferSize>>();
    QS_TRY_ASSIGN(Request opened, openRequest(client_, Method::get, uri, request_options));
    OpenRequest request(std::move(opened));
    QS_TRY(sendHead(request.get()));
    QS_TRY_ASSIGN(const Response response, receiveHead(request.get(), *redirect_buffer));
    last_status_ = response.status;
    if (response.status != 200) {
        // A small error page is read off so the connection serves the next chunk.
        if (!discardResponseBody(request.get())) abandonResponseBody(request.get());
        return std::unexpected(Error::Unexpected);
    }
    if (response.content_length && *response.content_length > limit) {
        abandonResponseBody(request.get());
        return std::unexpected(Error::StreamTooLong);
    }

    std::unique_ptr<char[]> window;
    if (contentCodingOf(response) != ContentCoding::identity) {
        window.reset(new (std::nothrow) char[kInflateWorkspaceSize]);
        if (!window) return std::unexpected(Error::OutOfMemory);
    }
    DecodingBodyReader body = decodingBodyReader(
        request.get(), response, std::span<char>(window.get(), window ? kInflateWorkspaceSize : 0));
    // Received straight into `into`, one byte of room past the limit so
    // that a body over it shows.
    const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(limit, SIZE_MAX - 1)) + 1;
    std::size_t filled = 0;
    try {
        for (;;) {
            if (filled == into.size()) {
                const std::size_t wanted = response.content_length && filled == 0
                                               ? static_cast<std::size_t>(*response.content_length) + 1
                                               : filled + kReceiveStep;
                resizeForOverwrite(into, std::min(std::max(into.capacity(), wanted), room));
            }
            const auto n = body.read(std::span<char>(into.data() + filled, into.size() - filled));
            if (!n) {
                into.clear();
                return std::unexpected(n.error());
            }
            if (*n == 0) break;
            filled += *n;
            if (filled > limit) {
                into.clear();
                abandonResponseBody(request.get());
                return std::unexpected(Error::StreamTooLong);
            }
        }
    } catch (const std::bad_alloc&) {
        into.clear();
        abandonResponseBody(request.get());
        return std::unexpected(Error::OutOfMemory);
    }
    into.resize(filled);
    return {};
}

}  // namespace qs
