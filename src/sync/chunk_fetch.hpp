#pragma once
// Chunks fetched from a casync chunk store over HTTP: chunk ID is
// {store}/{first four hex digits of ID}/{ID}.cacnk. Every fetch goes through
// one client, so consecutive chunks from one server share a kept-alive
// connection instead of paying a connect (and a TLS handshake) each.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "http/client.hpp"
#include "http/proxy.hpp"
#include "sync/chunk_assembler.hpp"

namespace qs {

struct ChunkStoreOptions {
    // The store's URL; a missing final "/" is supplied.
    std::string store_url;
    std::optional<std::string> authorization;
    bool tls_verify = true;
    // The bundle's own CA file in place of the system store; empty: none.
    std::string ca_file;
    TlsOptions tls;
    const ProxyRoutes* proxy = nullptr;
    TimeLimits limits;
};

class HttpChunkSource final : public ChunkSource {
public:
    // `client` must outlive the source; its time limits are the caller's.
    HttpChunkSource(HttpClient& client, ChunkStoreOptions options);

    // The chunk file's bytes as served (a content coding removed). An
    // answer other than 200 is Unexpected, its status kept for
    // lastStatus(); a body over `limit` is StreamTooLong; otherwise the
    // errors of the request, its head and its body.
    [[nodiscard]] Result<void> fetch(const ChunkId& id, std::uint64_t limit, std::string& into) override;

    // The status of the last answer received; 0 before any.
    [[nodiscard]] unsigned lastStatus() const override { return last_status_; }

    // The URL of chunk `id` in the store.
    [[nodiscard]] std::string chunkUrl(const ChunkId& id) const;

private:
    HttpClient& client_;
    ChunkStoreOptions options_;
    unsigned last_status_ = 0;
};

}  // namespace qs
