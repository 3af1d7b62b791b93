#include "support/http_exchange.hpp"

#include <algorithm>
#include <array>
#include <span>

#include "http/receive_head.hpp"
#include "http/uri.hpp"

namespace qs::test {

Result<Request> openAndSend(HttpClient& client, const std::string& url,
                            const RequestOptions& options) {
    QS_TRY_ASSIGN(const Uri uri, parseUri(url));
    QS_TRY_ASSIGN(Request request, openRequest(client, Method::get, uri, options));
    if (auto sent = sendHead(request); !sent) {
        closeRequest(request);
        return std::unexpected(sent.error());
    }
    return request;
}

Result<unsigned> getOnce(HttpClient& client, const std::string& url) {
    QS_TRY_ASSIGN(Request request, openAndSend(client, url));
    std::array<char, kRedirectBufferSize> redirects{};
    auto response = receiveHead(request, redirects);
    closeRequest(request);
    if (!response) return std::unexpected(response.error());
    return response->status;
}

LoopbackGet::~LoopbackGet() {
    if (opened) closeRequest(*opened);
}

void LoopbackGet::open(const RequestOptions& options) {
    auto uri = parseUri(url);
    if (!uri) {
        opened = std::unexpected(uri.error());
        return;
    }
    opened = openRequest(client, Method::get, *uri, options);
}

Result<Response> LoopbackGet::head(std::span<char> buffer) {
    if (!opened) return std::unexpected(opened.error());
    QS_TRY(sendHead(*opened));
    return receiveHead(*opened, buffer.empty() ? std::span<char>(redirects) : buffer);
}

Result<std::string> readBody(Reader& reader, std::size_t limit) {
    std::string body;
    std::array<char, 7> chunk{};
    while (body.size() < limit) {
        QS_TRY_ASSIGN(const std::size_t n, reader.read(std::span<char>(chunk).first(
                                                std::min(chunk.size(), limit - body.size()))));
        if (n == 0) break;
        body.append(chunk.data(), n);
    }
    return body;
}

}  // namespace qs::test
