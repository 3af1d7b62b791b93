#include "sync/trust_store_cache.hpp"

#include <utility>

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

void TrustStoreCache::forget() { entries_.clear(); }

TrustStoreCache& processTrustStores() {
    static TrustStoreCache cache;
    return cache;
}

}  // namespace qs
