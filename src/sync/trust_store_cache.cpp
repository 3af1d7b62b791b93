#include "sync/trust_store_cache.hpp"

#include <utility>

#include "platform/fd.hpp"
#include "platform/process_state.hpp"

namespace qs {

namespace {

std::vector<std::optional<platform::PathStatus>> stampsOf(const std::vector<std::string>& paths) {
    std::vector<std::optional<platform::PathStatus>> stamps;
    stamps.reserve(paths.size());
    for (const std::string& path : paths) {
        // A source that cannot be looked at now counts as changed when it
        // could be before, and as unchanged while it stays so.
        const auto status = platform::pathStatus(path);
        stamps.push_back(status ? std::optional(*status) : std::nullopt);
    }
    return stamps;
}

}  // namespace

TrustStoreCache::TrustStoreCache(SystemCertificateSources sources) : sources_(std::move(sources)) {}

TrustStoreCache::Entry* TrustStoreCache::find(std::string_view key) {
    for (Entry& entry : entries_)
        if (entry.key == key) return &entry;
    return nullptr;
}

bool TrustStoreCache::stillGood(const Entry& entry, const std::vector<std::string>& paths) const {
    if (!entry.store || entry.store->needsLoading()) return false;
    // A certificate that has expired since would be skipped by a new load.
    if (platform::wallClockSeconds() > entry.store->validUntil()) return false;
    return entry.stamps == stampsOf(paths);
}

TrustStoreCache::Entry& TrustStoreCache::remember(std::string_view key, std::vector<Stamp> stamps) {
    Entry* entry = find(key);
    if (entry == nullptr) {
        entries_.push_back(Entry{std::string(key), {}, nullptr});
        entry = &entries_.back();
    }
    entry->stamps = std::move(stamps);
    entry->store.reset();
    ++builds_;
    return *entry;
}

std::shared_ptr<TrustStore> TrustStoreCache::system() {
    const std::vector<std::string> paths = {sources_.directory, sources_.bundle, sources_.system};
    if (Entry* held = find(""); held != nullptr && stillGood(*held, paths)) return held->store;
    // The stamps are taken before the sources are read: a change during the
    // load shows as a change at the next use.
    Entry& entry = remember("", stampsOf(paths));
    auto store = std::make_shared<TrustStore>();
    loadTrustStore(*store, sources_.directory, sources_.bundle, sources_.system);
    // A failed store is not kept: the next use builds it again, with its
    // warning, as every poll did before stores were kept.
    if (!store->needsLoading()) entry.store = store;
    return store;
}

Result<std::shared_ptr<TrustStore>> TrustStoreCache::caFile(const std::string& path) {
    const std::vector<std::string> paths = {path};
    if (Entry* held = find(path); held != nullptr && stillGood(*held, paths)) return held->store;
    Entry& entry = remember(path, stampsOf(paths));
    auto store = std::make_shared<TrustStore>();
    if (const auto added = addCertificateFile(*store, path); !added)
        return std::unexpected(added.error());
    store->markLoaded();
    entry.store = store;
    return store;
}

namespace {

// PEM files of a certificate chain or a key are a few kilobytes; a file far
// larger is not one.
constexpr std::uint64_t kMaxIdentityFileBytes = 1 << 20;

std::expected<std::shared_ptr<const ClientIdentity>, TrustStoreCache::IdentityFailure> readIdentity(
    const std::string& certificate_path, const std::string& key_path) {
    using Failure = TrustStoreCache::IdentityFailure;
    if (const auto mode = checkKeyFileMode(key_path); !mode)
        return std::unexpected(Failure{key_path, mode.error()});
    const auto certificate = platform::readWholeFile(certificate_path, kMaxIdentityFileBytes);
    if (!certificate) return std::unexpected(Failure{certificate_path, certificate.error()});
    const auto key = platform::readWholeFile(key_path, kMaxIdentityFileBytes);
    if (!key) return std::unexpected(Failure{key_path, key.error()});
    auto identity = ClientIdentity::fromPem(*certificate, *key);
    if (!identity) {
        const bool certificate_fault = identity.error() == Error::ClientCertificateMalformed;
        return std::unexpected(
            Failure{certificate_fault ? certificate_path : key_path, identity.error()});
    }
    return std::move(*identity);
}

}  // namespace

std::expected<std::shared_ptr<const ClientIdentity>, TrustStoreCache::IdentityFailure>
TrustStoreCache::clientIdentity(const std::string& certificate_path, const std::string& key_path) {
    std::vector<Stamp> stamps = stampsOf({certificate_path, key_path});
    IdentityEntry* held = nullptr;
    for (IdentityEntry& entry : identities_) {
        if (entry.certificate_path == certificate_path && entry.key_path == key_path) held = &entry;
    }
    // A renewed certificate takes effect at the next connection after it
    // lands; an unchanged pair is not read again.
    if (held != nullptr && held->identity && held->stamps == stamps) return held->identity;
    if (held == nullptr) {
        identities_.push_back(IdentityEntry{certificate_path, key_path, {}, nullptr});
        held = &identities_.back();
    }
    held->stamps = std::move(stamps);
    held->identity.reset();
    ++builds_;
    auto identity = readIdentity(certificate_path, key_path);
    if (!identity) return std::unexpected(identity.error());
    held->identity = *identity;
    return held->identity;
}

void TrustStoreCache::forget() {
    entries_.clear();
    identities_.clear();
}

Result<void> checkKeyFileMode(const std::string& path) {
    QS_TRY_ASSIGN(const platform::PathStatus status, platform::pathStatus(path));
    if ((status.mode & 077) != 0) return std::unexpected(Error::KeyFileOpenToOthers);
    return {};
}

std::optional<TrustStoreCache::IdentityFailure> checkClientIdentity(
    const std::string& certificate_path, const std::string& key_path) {
    const auto identity = readIdentity(certificate_path, key_path);
    if (identity) return std::nullopt;
    return identity.error();
}

TrustStoreCache& processTrustStores() {
    static TrustStoreCache cache;
    return cache;
}

}  // namespace qs
