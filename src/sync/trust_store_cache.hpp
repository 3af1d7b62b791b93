#pragma once
// Trust stores kept from one poll to the next. Reading and parsing the
// system's few hundred CA certificates costs more than the rest of a 304
// poll, and they change rarely, so a store is built once and used by every
// fetch until one of its sources changes on disk (modification time, size
// or the file itself), a certificate in it expires, the last build failed,
// or the agent is told to forget (SIGHUP).

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/path_calls.hpp"
#include "sync/load_trust_store.hpp"
#include "tls/client_identity.hpp"
#include "tls/trust_store.hpp"

namespace qs {

// The system sources, in the order loadTrustStore tries them.
struct SystemCertificateSources {
    std::string directory{kCertDirectory};
    std::string bundle{kCertBundlePath};
    std::string system{kSystemCertPath};
};

class TrustStoreCache {
public:
    explicit TrustStoreCache(SystemCertificateSources sources = {});

    // The store loadTrustStore builds from the system sources; its warning,
    // when every source fails, is logged by each build. A store that failed
    // to load comes back still needing loading and is built again next time.
    [[nodiscard]] std::shared_ptr<TrustStore> system();

    // The store of one PEM file of CA certificates and nothing else. The
    // error says why the file did not load (those of addCertificateFile);
    // a failed file is read again at the next call.
    [[nodiscard]] Result<std::shared_ptr<TrustStore>> caFile(const std::string& path);

    // Why a client identity could not be used: the file and its error.
    struct IdentityFailure {
        std::string path;
        Error error;
    };
    // The client certificate and key of these two files, read again when
    // either changes on disk. The key file must be readable by its owner
    // alone (KeyFileOpenToOthers); otherwise the errors of reading the
    // files and of ClientIdentity::fromPem.
    [[nodiscard]] std::expected<std::shared_ptr<const ClientIdentity>, IdentityFailure>
    clientIdentity(const std::string& certificate_path, const std::string& key_path);

    // Every store and identity is built again at its next use.
    void forget();

    // How many stores were built since the cache was made, for tests.
    [[nodiscard]] std::uint64_t builds() const { return builds_; }

private:
    // What stat said of a source when the store was built.
    using Stamp = std::optional<platform::PathStatus>;
    struct Entry {
        std::string key;  // "" for the system store, else the CA file's path
        std::vector<Stamp> stamps;
        std::shared_ptr<TrustStore> store;  // null: the last build failed
    };

    [[nodiscard]] Entry* find(std::string_view key);
    [[nodiscard]] bool stillGood(const Entry& entry, const std::vector<std::string>& paths) const;
    Entry& remember(std::string_view key, std::vector<Stamp> stamps);

    struct IdentityEntry {
        std::string certificate_path;
        std::string key_path;
        std::vector<Stamp> stamps;
        std::shared_ptr<const ClientIdentity> identity;
    };

    SystemCertificateSources sources_;
    std::vector<Entry> entries_;
    std::vector<IdentityEntry> identities_;
    std::uint64_t builds_ = 0;
};

// Client key files hold secrets: a file that its group or others may read
// is refused. KeyFileOpenToOthers, or the error of looking at the file.
[[nodiscard]] Result<void> checkKeyFileMode(const std::string& path);

// Reads a client certificate and key pair the way a fetch does, for
// `check`: the failing file and why, or nothing.
[[nodiscard]] std::optional<TrustStoreCache::IdentityFailure> checkClientIdentity(
    const std::string& certificate_path, const std::string& key_path);

// The cache every fetch of this process uses.
[[nodiscard]] TrustStoreCache& processTrustStores();

}  // namespace qs
