#include "sync/chunked_source.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "http/client.hpp"
#include "http/uri.hpp"
#include "log/log.hpp"
#include "sync/apply_bundle.hpp"
#include "sync/chunk_assembler.hpp"
#include "sync/chunk_cache.hpp"
#include "sync/chunk_fetch.hpp"
#include "sync/chunk_prefetch.hpp"
#include "sync/http_source.hpp"
#include "sync/load_trust_store.hpp"
#include "sync/signature_check.hpp"
#include "sync/trust_store_cache.hpp"
#include "sync/version_store.hpp"
#include "tls/digest.hpp"

namespace qs {

namespace {

using log::Scope;

// Where `casync make` puts the chunks of an index unless told otherwise:
// beside the index.
constexpr std::string_view kDefaultStoreName = "default.castr/";
// Chunks made ready ahead of the one the payload needs, per connection:
// enough that no worker waits for the payload's writer, while the decoded
// chunks held stay a few megabytes at casync's chunk sizes.
constexpr std::size_t kChunksAheadPerConnection = 4;
// The kept index of a direct or raw bundle: there is only ever the live one.
constexpr std::string_view kLiveIndexKey = "live";

PayloadAnswer failed(std::string reason) {
    PayloadAnswer answer;
    answer.kind = PayloadAnswer::Kind::failed;
    answer.reason = std::move(reason);
    return answer;
}

// The words after "chunk {ID} " in the failure line.
std::string chunkFailureText(Error error, unsigned status, HttpClient* client) {
    switch (error) {
    case Error::Unexpected:
        if (status != 0) return "HTTP " + std::to_string(status);
        break;
    case Error::ChunkDigestMismatch: return "digest mismatch";
    case Error::NotZstd: return "not zstd compressed";
    case Error::Overflow:
    case Error::StreamTooLong: return "larger than the index allows";
    case Error::InvalidFormat: return "corrupt zstd frame";
    default: break;
    }
    if (client != nullptr) {
        const auto ended_by = client->socketLimits().ended_by;
        if (ended_by == Error::TimedOut) return "timed out";
        if (ended_by == Error::Interrupted) return "interrupted";
    }
    return "failed: error." + std::string(errorName(error));
}

// The key of a kept version's index: a digest of its name, which may hold
// any byte but "/" and be as long as a directory entry allows.
std::string indexKeyOf(std::string_view version) {
    const auto digest = digestOf(DigestAlgorithm::sha256, version);
    return digest ? hexDigest(*digest) : std::string(kLiveIndexKey);
}

// Whether `url` is on the server `uri` names: scheme, host (letter case
// aside) and port.
bool sameOrigin(const Uri& uri, std::string_view url) {
    const auto other = parseUri(url);
    if (!other) return false;
    const auto protocol = protocolOf(uri);
    const auto other_protocol = protocolOf(*other);
    if (!protocol || protocol != other_protocol) return false;
    const std::string_view host = uri.host.value_or("");
    const std::string_view other_host = other->host.value_or("");
    const bool same_host = std::ranges::equal(host, other_host, [](char a, char b) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        return lower(a) == lower(b);
    });
    return same_host && connectPort(uri, *protocol) == connectPort(*other, *other_protocol);
}

// One connection to the chunk store: its own client (its pool holds the
// kept-alive connection) and the source over it.
struct StoreConnection {
    std::unique_ptr<HttpClient> client;
    std::unique_ptr<HttpChunkSource> source;

    StoreConnection() = default;
    StoreConnection(StoreConnection&&) noexcept = default;
    StoreConnection& operator=(StoreConnection&&) noexcept = default;
    ~StoreConnection() {
        source.reset();
        if (client) destroyClient(std::move(client));
    }
};

Result<StoreConnection> openStoreConnection(const ChunkStoreOptions& store, bool needs_tls) {
    StoreConnection connection;
    connection.client.reset(new (std::nothrow) HttpClient());
    if (!connection.client) return std::unexpected(Error::OutOfMemory);
    connection.client->setTimeLimits(store.limits);
    connection.client->setTlsOptions(store.tls);
    if (!store.ca_file.empty()) {
        // Each connection reads its own copy: clients on worker threads
        // share no store.
        connection.client->setTrustStoreProvider(
            [path = store.ca_file]() -> Result<std::shared_ptr<TrustStore>> {
                auto trust = std::make_shared<TrustStore>();
                QS_TRY(addCertificateFile(*trust, path));
                trust->markLoaded();
                return trust;
            },
            HttpClient::TrustFallback::none);
        if (needs_tls) QS_TRY(connection.client->ensureTrustStoreLoaded());
    } else if (store.tls_verify) {
        connection.client->setTrustStoreLoader([](TrustStore& trust) { loadTrustStore(trust); });
        // Loaded here, on the agent's thread: a worker never reads
        // certificate files or writes the log line of a failed load.
        if (needs_tls) QS_TRY(connection.client->ensureTrustStoreLoaded());
    }
    connection.source.reset(new (std::nothrow) HttpChunkSource(*connection.client, store));
    if (!connection.source) return std::unexpected(Error::OutOfMemory);
    return connection;
}

}  // namespace

Result<std::string> chunkStoreUrl(std::string_view url, const std::optional<std::string>& chunk_store) {
    try {
        std::string reference(chunk_store.value_or(std::string(kDefaultStoreName)));
        std::string resolved;
        if (parseUri(reference)) {
            resolved = reference;
        } else {
            QS_TRY_ASSIGN(const Uri base, parseUri(url));
            std::string scratch(url.size() + reference.size() + 2, '\0');
            std::span<char> scratch_span(scratch);
            QS_TRY_ASSIGN(const Uri uri,
                          resolveReference(base, std::span<char>(reference), scratch_span));
            resolved = composeUrl(uri);
        }
        if (!resolved.ends_with('/')) resolved += '/';
        return resolved;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

ChunkedPayloadSource::ChunkedPayloadSource(const Bundle& bundle, const ProxyRoutes& routes,
                                           bool tls_verify)
    : bundle_(bundle), tls_verify_(tls_verify) {
    options_.proxy = &routes;
    options_.limits.connect_seconds = bundle.options.connect_timeout.value_or(0);
    options_.limits.io_seconds = bundle.options.io_timeout.value_or(0);
    options_.limits.total_seconds = bundle.options.max_fetch_time.value_or(0);
    // max_payload_bytes bounds the payload, which the index declares; the
    // index itself is bounded by the largest table it may hold.
    options_.max_body_bytes = kMaxIndexBytes;
    options_.tls = tlsSettingsOf(bundle.options);
}

void ChunkedPayloadSource::expectIndex(std::uint64_t size, std::string sha256) {
    expected_sha256_ = std::move(sha256);
    announced_size_ = size;
    if (!options_.max_body_bytes || *options_.max_body_bytes > size) options_.max_body_bytes = size;
}

PayloadAnswer ChunkedPayloadSource::poll(const BundleState& state, PayloadConsumer& consumer) {
    const bool announced = !expected_sha256_.empty();
    FetchOptions options = options_;
    if (!announced && bundle_.options.use_last_modified.value_or(false)) {
        options.if_modified_since = state.last_modified;
    }
    FetchResult fetched = fetchBundle(bundle_.url, announced ? std::string() : ifNoneMatchFor(state),
                                      bundle_.authorization, tls_verify_, options);
    switch (fetched.kind) {
    case FetchResult::Kind::not_modified: {
        PayloadAnswer answer;
        answer.kind = PayloadAnswer::Kind::unchanged;
        return answer;
    }
    case FetchResult::Kind::failed:
        if (announced && fetched.over_limit != 0 && fetched.over_limit == announced_size_) {
            return failed("index: over the size in its metadata");
        }
        if (fetched.over_limit != 0) {
            return failed("index: over " + std::to_string(fetched.over_limit) + " bytes");
        }
        return failed(std::move(fetched.reason));
    case FetchResult::Kind::fetched: break;
    }

    if (announced) {
        // The signed metadata names the index's digest, as the signature
        // would: checked first, so that nothing an attacker chose is parsed.
        const auto digest = digestOf(DigestAlgorithm::sha256, fetched.body.view());
        const std::string got = digest ? hexDigest(*digest) : std::string("none");
        if (got != expected_sha256_) {
            log::error(Scope::quillstead, "[", bundle_.name, "] index refused: sha256 ", got, " is not the ",
                       expected_sha256_, " of its metadata");
            PayloadAnswer answer = failed("index digest mismatch");
            answer.reported = true;
            return answer;
        }
    }
    auto index = parseChunkIndex(fetched.body.view());
    if (!index) return failed("index: " + std::string(indexFaultText(index.error())));
    // The signature covers the index, and the index names every chunk by
    // its digest: checked here, it vouches for every byte of the payload
    // before one is fetched. An index its metadata announced was checked
    // against the digest the signed metadata names instead.
    if (!announced && bundle_.public_key &&
        !checkSignature(bundle_, state, fetched.body.view(), tls_verify_, options_)) {
        PayloadAnswer answer = failed("signature check failed");
        answer.reported = true;
        return answer;
    }
    if (const auto limit = bundle_.options.max_payload_bytes;
        limit && index->payloadSize() > *limit) {
        log::error(Scope::http, "index declares a payload of ", index->payloadSize(),
                   " bytes, over the limit of ", *limit);
        PayloadAnswer answer = failed("payload over limit");
        answer.over_limit = *limit;
        return answer;
    }

    index_.emplace(std::move(*index));
    index_bytes_.assign(fetched.body.view());
    const PayloadValidators validators{std::move(fetched.etag), std::move(fetched.last_modified)};
    PayloadAnswer answer = assemble(validators, consumer);
    if (answer.chunks) answer.chunks->downloaded += fetched.size;
    return answer;
}

PayloadAnswer ChunkedPayloadSource::assemble(const PayloadValidators& validators,
                                             PayloadConsumer& consumer) {
    const ChunkIndex& index = *index_;
    // The cache lives in target_dir, which the first install makes.
    if (!ensureTargetDir(bundle_)) return failed("no target_dir for the chunk cache");
    auto cache = ChunkCache::open(bundle_.target_dir);
    if (!cache) {
        return failed("chunk cache " + bundle_.target_dir + "/" + std::string(kChunkCacheName) +
                      ": error." + std::string(errorName(cache.error())));
    }

    ChunkStoreOptions store;
    auto store_url = chunkStoreUrl(bundle_.url, bundle_.options.chunk_store);
    if (!store_url) return failed("invalid chunk_store URL");
    store.store_url = std::move(*store_url);
    store.tls_verify = tls_verify_;
    store.ca_file = bundle_.options.ca_file.value_or("");
    store.tls.profile = options_.tls.profile;
    if (!options_.tls.client_cert.empty() && !options_.tls.client_key.empty()) {
        // Read on the agent's thread; the index fetch before has already
        // failed the poll if the pair cannot be used.
        if (auto identity = processTrustStores().clientIdentity(
                std::string(options_.tls.client_cert), std::string(options_.tls.client_key)))
            store.tls.identity = std::move(*identity);
    }
    store.proxy = options_.proxy;
    store.limits = options_.limits;
    const auto store_uri = parseUri(store.store_url);
    if (!store_uri || !protocolOf(*store_uri)) return failed("invalid chunk_store URL");
    const bool needs_tls = protocolOf(*store_uri) == Protocol::tls;
    // The bundle's credentials go to the index's own server only; a store
    // elsewhere (a CDN, a mirror) has no business with them.
    if (sameOrigin(*store_uri, bundle_.url)) store.authorization = bundle_.authorization;

    const std::size_t wanted = bundle_.options.chunk_connections.value_or(kDefaultChunkConnections);
    const std::size_t connections = std::min(wanted, index.chunks.size());
    // One connection more serves the agent's own thread, where no worker
    // thread starts.
    std::vector<StoreConnection> opened;
    std::vector<ChunkSource*> workers;
    for (std::size_t i = 0; i <= connections; ++i) {
        auto connection = openStoreConnection(store, needs_tls);
        if (!connection) {
            return failed("chunk store: error." + std::string(errorName(connection.error())));
        }
        opened.push_back(std::move(*connection));
        if (i > 0) workers.push_back(opened.back().source.get());
    }

    ChunkPrefetch prefetch(index, *cache, workers, *opened.front().source,
                           kChunksAheadPerConnection * connections);
    ChunkAssembler assembler(index, *cache, prefetch);
    PayloadTap tap(assembler, PayloadLimits{bundle_.options.max_payload_bytes,
                                            bundle_.options.skip_identical.value_or(false)});
    consumer.consume(NewPayload{validators.etag, validators, tap, index.payloadSize()});
    tap.drain();

    // The workers keep what they fetched beyond a failed chunk, so that the
    // next poll fetches only what is still missing; it was downloaded all
    // the same.
    const AssemblyCounts left = prefetch.stop();
    const std::uint64_t downloaded = assembler.counts().downloaded + left.downloaded;
    const std::size_t fetched_count = assembler.counts().fetched + left.fetched;

    if (const auto& failure = assembler.failure()) {
        HttpClient* client = nullptr;
        for (const StoreConnection& connection : opened) {
            if (connection.client->socketLimits().ended_by) client = connection.client.get();
        }
        return failed("chunk " + chunkIdHex(failure->id) + " " +
                      chunkFailureText(failure->error, prefetch.lastStatus(), client));
    }
    if (tap.failure()) return failed("payload read failed: error." + std::string(errorName(*tap.failure())));

    PayloadAnswer answer;
    answer.kind = PayloadAnswer::Kind::new_payload;
    answer.validators = validators;
    answer.size = tap.count();
    answer.digest = tap.digest();
    answer.chunks = PayloadAnswer::ChunkCounts{index.chunks.size(), fetched_count, downloaded};
    return answer;
}

void ChunkedPayloadSource::keepInstalled(BundleState& state) {
    if (!index_) return;
    auto cache = ChunkCache::open(bundle_.target_dir);
    if (!cache) {
        log::warn(Scope::quillstead, "[", bundle_.name, "] chunk cache unusable: ", cache.error());
        return;
    }
    const bool versioned =
        bundle_.format != BundleFormat::raw && bundle_.mode == DeployMode::versioned;
    std::vector<std::string> keys;
    if (versioned) {
        for (const KeptVersion& kept : listVersions(bundle_)) keys.push_back(indexKeyOf(kept.name));
    }
    const std::string key = versioned ? indexKeyOf(state.status.version) : std::string(kLiveIndexKey);
    if (std::ranges::find(keys, key) == keys.end()) keys.push_back(key);

    if (auto saved = cache->saveIndex(key, index_bytes_); !saved) {
        log::warn(Scope::quillstead, "[", bundle_.name, "] failed to keep the chunk index: ",
                  saved.error());
    }
    auto kept = cache->keepIndexes(keys);
    if (!kept) {
        log::warn(Scope::quillstead, "[", bundle_.name, "] chunk cache not pruned: ", kept.error());
    } else {
        std::vector<const ChunkIndex*> keep;
        for (const ChunkIndex& index : *kept) keep.push_back(&index);
        // The live payload's chunks stay whatever became of its kept copy.
        keep.push_back(&*index_);
        if (auto pruned = cache->prune(keep); !pruned) {
            log::warn(Scope::quillstead, "[", bundle_.name, "] chunk cache not pruned: ",
                      pruned.error());
        }
    }
    if (auto bytes = cache->bytes()) state.status.chunk_cache_bytes = *bytes;
}

}  // namespace qs
