#pragma once
// The payload source of a chunked bundle: its URL names a casync index,
// polled with the conditional GET like any payload; a new index is checked
// (every field, its signature, the payload size it declares) before a
// single chunk is fetched, and the payload is then put together from the
// chunks in index order: from the local cache where it has them, from the
// chunk store over a few kept-alive connections where not. The payload
// streams into the install; only chunks that passed their check reach it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.hpp"
#include "formats/chunk_index.hpp"
#include "http/proxy.hpp"
#include "sync/fetch_bundle.hpp"
#include "sync/payload_source.hpp"

namespace qs {

// Concurrent chunk fetches when the bundle does not say.
inline constexpr std::uint32_t kDefaultChunkConnections = 4;

// Where the bundle's chunks are: chunk_store as written when it is a whole
// URL, resolved against `url` when relative; without one, `url` with its
// last path segment replaced by "default.castr/" (where `casync make`
// puts the store of an index unless told otherwise). Always ends in "/".
// Errors: those of parsing the URLs, OutOfMemory.
[[nodiscard]] Result<std::string> chunkStoreUrl(std::string_view url,
                                                const std::optional<std::string>& chunk_store);

class ChunkedPayloadSource final : public PayloadSource {
public:
    // `routes` is the bundle's proxy set-up and must outlive the source.
    ChunkedPayloadSource(const Bundle& bundle, const ProxyRoutes& routes, bool tls_verify);

    [[nodiscard]] PayloadAnswer poll(const BundleState& state, PayloadConsumer& consumer) override;

    // After the payload of the last poll was installed: keeps its index
    // beside the kept versions' ones, drops the indexes of versions no
    // longer kept and removes the chunks none of the rest names. Records
    // the cache's size in the bundle's status. Failures are warnings: the
    // cache only costs disk space or a later fetch.
    void keepInstalled(BundleState& state);

    // For an index its signed metadata announced: asked for without
    // validators (the metadata said it is not the live one), never read
    // past `size` bytes, and refused unless it hashes to `sha256` (hex),
    // before a byte of it is parsed or a chunk fetched. The index's own
    // signature is not asked for: the signed metadata names its digest.
    void expectIndex(std::uint64_t size, std::string sha256);

    // The request set-up of the index fetch.
    [[nodiscard]] const FetchOptions& options() const { return options_; }
    [[nodiscard]] bool tlsVerify() const { return tls_verify_; }

private:
    [[nodiscard]] PayloadAnswer assemble(const PayloadValidators& validators,
                                         PayloadConsumer& consumer);

    const Bundle& bundle_;
    const bool tls_verify_;
    FetchOptions options_;
    // expectIndex's digest; empty for an index checked by its own signature.
    std::string expected_sha256_;
    std::uint64_t announced_size_ = 0;
    // The index of the last poll that brought a new one: its bytes as
    // served, for keepInstalled.
    std::string index_bytes_;
    std::optional<ChunkIndex> index_;
};

}  // namespace qs
