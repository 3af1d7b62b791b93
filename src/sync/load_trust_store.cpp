#include "sync/load_trust_store.hpp"

#include "log/log.hpp"
#include "platform/directory.hpp"

namespace qs {

namespace {

// Every regular file and symbolic link of the directory, in listing order.
// Entries the listing does not type are passed over rather than stat'ed: the
// listing's word is the rule. The certificates of files read before a
// failure stay in the store.
Result<void> addDirectory(TrustStore& store, std::string_view directory) {
    QS_TRY_ASSIGN(const platform::Fd listing, platform::openDirectory(directory));
    platform::DirectoryCursor cursor;
    for (;;) {
        QS_TRY_ASSIGN(const auto entry, cursor.next(listing.get()));
        if (!entry) return {};
        if (entry->type != platform::EntryType::regular &&
            entry->type != platform::EntryType::symlink)
            continue;
        QS_TRY(addCertificateFileAt(store, listing.get(), entry->view()));
    }
}

}  // namespace

void loadTrustStore(TrustStore& store, std::string_view directory, std::string_view bundle,
                    std::string_view system) {
    // A failing source falls through to the next one silently; only the
    // last one's failure is worth a line, since it is the one that counts.
    if (addDirectory(store, directory) || addCertificateFile(store, bundle)) {
        store.markLoaded();
        return;
    }
    const auto reloaded = replaceWithCertificateFile(store, system);
    if (!reloaded) {
        log::warn(log::Scope::http, "failed to load CA certificates: ", reloaded.error());
        return;
    }
    store.markLoaded();
}

}  // namespace qs
