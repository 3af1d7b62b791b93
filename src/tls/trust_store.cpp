#include "tls/trust_store.hpp"

#include <algorithm>
#include <climits>
#include <compare>
#include <cstdint>
#include <ctime>
#include <optional>
#include <new>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include "tls/openssl_init.hpp"
#include "tls/pem.hpp"
#include "platform/fd.hpp"
#include "platform/process_state.hpp"

namespace qs {

namespace {

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// The DER bytes of a Name as the certificate carried them: OpenSSL keeps the
// received encoding, so two names compare equal only when their bytes do.
bool nameDer(const X509_NAME* name, std::string& out) {
    const unsigned char* bytes = nullptr;
    std::size_t length = 0;
    if (X509_NAME_get0_der(name, &bytes, &length) != 1) return false;
    out.assign(reinterpret_cast<const char*>(bytes), length);
    return true;
}

enum class Verdict { add, skip };

// Whether OpenSSL knows every algorithm the certificate names: its signature
// algorithm and its public-key algorithm must map to known identifiers.
bool namesKnownAlgorithms(const X509* certificate) {
    if (X509_get_signature_nid(certificate) == NID_undef) return false;
    ASN1_OBJECT* key_algorithm = nullptr;
    X509_PUBKEY* key = X509_get_X509_PUBKEY(certificate);
    if (key == nullptr) return false;
    if (X509_PUBKEY_get0_param(&key_algorithm, nullptr, nullptr, nullptr, key) != 1) return false;
    return OBJ_obj2nid(key_algorithm) != NID_undef;
}

// The parse made while loading leaves public keys undecoded. OpenSSL 3
// decodes a certificate's key through its provider decoders, which costs
// several times the rest of the parse, and the whole system store is loaded
// on every poll while a handshake uses one or two of its roots. A library
// context holding only the null provider offers no decoder: a certificate
// parsed there is checked in its whole structure (names, validity,
// extensions, identifiers) and only its key is left for the lookup that
// needs it. Null when the context cannot be made; loading then parses
// every certificate in full.
OSSL_LIB_CTX* keylessContext() {
    static OSSL_LIB_CTX* const context = []() -> OSSL_LIB_CTX* {
        OSSL_LIB_CTX* created = OSSL_LIB_CTX_new();
        if (created == nullptr) return nullptr;
        if (OSSL_PROVIDER_load(created, "null") == nullptr) {
            OSSL_LIB_CTX_free(created);
            return nullptr;
        }
        return created;
    }();
    return context;
}

// Parses `der` as one certificate in `context` (null: the default one).
// Null when it does not parse or bytes follow it.
X509Ptr parseCertificate(std::string_view der, OSSL_LIB_CTX* context) {
    X509* target = X509_new_ex(context, nullptr);
    if (target == nullptr) throw std::bad_alloc();
    const auto* start = reinterpret_cast<const unsigned char*>(der.data());
    const auto* cursor = start;
    // On failure d2i frees the object it was given and nulls the pointer.
    if (d2i_X509(&target, &cursor, static_cast<long>(der.size())) == nullptr) {
        X509_free(target);
        return nullptr;
    }
    X509Ptr certificate(target);
    if (cursor != start + der.size()) return nullptr;  // bytes after the certificate
    return certificate;
}

struct Root {
    std::string der;
    // Filled by the first lookup; null after it when the key does not decode.
    mutable X509Ptr parsed;
    mutable bool parse_tried = false;
};

struct FileKey {
    std::uint64_t device;
    std::uint64_t inode;
    auto operator<=>(const FileKey&) const = default;
};

// Seconds since the epoch of an ASN1 time; nullopt when it does not read.
std::optional<std::int64_t> epochSeconds(const ASN1_TIME* time) {
    std::tm parts{};
    if (ASN1_TIME_to_tm(time, &parts) != 1) return std::nullopt;
    // Days from the civil date (proleptic Gregorian), without the C
    // library's local-time machinery.
    std::int64_t year = parts.tm_year + 1900;
    const unsigned month = static_cast<unsigned>(parts.tm_mon + 1);
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 +
                                 static_cast<unsigned>(parts.tm_mday) - 1;
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    const std::int64_t days = era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
    return days * 86400 + parts.tm_hour * 3600 + parts.tm_min * 60 + parts.tm_sec;
}

}  // namespace

struct TrustStore::Impl {
    std::int64_t valid_until = INT64_MAX;
    std::vector<Root> roots;  // in the order they were added
    std::unordered_map<std::string, std::size_t> by_subject;  // index into roots
    // Certificate bytes whose outcome cannot change until the store is
    // emptied: added, or skipped for an unknown algorithm or a subject
    // already held. Expired ones are not kept: their verdict depends on the
    // clock reading of the file they come in.
    std::unordered_set<std::string> settled;
    // Files read whole without failure, by device and inode.
    std::set<FileKey> files_read;
};

TrustStore::TrustStore() : impl_(std::make_unique<Impl>()) {}
TrustStore::~TrustStore() = default;

std::size_t TrustStore::size() const { return impl_->roots.size(); }

std::int64_t TrustStore::validUntil() const { return impl_->valid_until; }

void TrustStore::clear() {
    impl_->valid_until = INT64_MAX;
    impl_->by_subject.clear();
    impl_->roots.clear();
    impl_->settled.clear();
    impl_->files_read.clear();
}

x509_st* TrustStore::findBySubject(std::string_view subject_der) const {
    const auto found = impl_->by_subject.find(std::string(subject_der));
    if (found == impl_->by_subject.end()) return nullptr;
    const Root& root = impl_->roots[found->second];
    if (!root.parse_tried) {
        // Lookups run inside the handshake: leave OpenSSL's error queue as
        // it was, whatever this parse adds to it.
        ERR_set_mark();
        root.parse_tried = true;
        root.parsed = parseCertificate(root.der, nullptr);
        // A root whose key does not decode can verify nothing: absent.
        if (root.parsed && X509_get0_pubkey(root.parsed.get()) == nullptr) root.parsed.reset();
        ERR_pop_to_mark();
    }
    return root.parsed.get();
}

namespace {

Result<void> addDerCertificate(TrustStore::Impl& impl, const std::string& der, std::int64_t now) {
    // The same bytes met again (a certificate's file reached by its name and
    // by its hash link, a bundle file repeating the directory) end as they
    // ended the first time.
    if (impl.settled.contains(der)) return {};

    OSSL_LIB_CTX* keyless = keylessContext();
    X509Ptr certificate = parseCertificate(der, keyless);
    if (!certificate && keyless != nullptr) {
        // Only the full parse may call a certificate malformed: should the
        // provider-less one refuse something the full one takes, the file
        // must not fail for it.
        keyless = nullptr;
        certificate = parseCertificate(der, nullptr);
    }
    if (!certificate) return std::unexpected(Error::CertificateMalformed);

    if (!namesKnownAlgorithms(certificate.get())) {
        impl.settled.insert(der);
        return {};
    }
    if (keyless == nullptr && X509_get0_pubkey(certificate.get()) == nullptr) {
        // A known key algorithm whose key does not decode is damage, not novelty.
        return std::unexpected(Error::CertificateMalformed);
    }

    const int expiry =
        ASN1_TIME_cmp_time_t(X509_get0_notAfter(certificate.get()), static_cast<time_t>(now));
    if (expiry == -2) return std::unexpected(Error::CertificateMalformed);
    if (expiry < 0) return {};  // validity ended before now

    std::string subject;
    if (!nameDer(X509_get_subject_name(certificate.get()), subject))
        return std::unexpected(Error::CertificateMalformed);
    if (impl.by_subject.contains(subject)) {
        impl.settled.insert(der);
        return {};
    }

    // Unreadable here means it read for the comparison above: the limit
    // then stays where the other certificates put it.
    if (const auto until = epochSeconds(X509_get0_notAfter(certificate.get())))
        impl.valid_until = std::min(impl.valid_until, *until);
    Root root;
    root.der = der;
    if (keyless == nullptr) {
        root.parsed = std::move(certificate);
        root.parse_tried = true;
    }
    impl.roots.push_back(std::move(root));
    impl.by_subject.emplace(std::move(subject), impl.roots.size() - 1);
    impl.settled.insert(der);
    return {};
}

Result<void> addFromDescriptor(TrustStore& store, const platform::Fd& fd) {
    QS_TRY_ASSIGN(const platform::FileIdentity file, platform::fileIdentity(fd.get()));
    const std::uint64_t size = file.size;
    // The decoded form of a base64 file takes three quarters of its size; the
    // pair must stay within 32-bit lengths.
    if (size > kMaxCertificateBundleSpan || size + size * 3 / 4 > kMaxCertificateBundleSpan)
        return std::unexpected(Error::CertificateAuthorityBundleTooBig);
    // A file read whole before adds nothing the second time: each of its
    // certificates is held, settled, or still expired. Opening it again
    // above keeps the rule that an entry which cannot be opened fails.
    const FileKey key{file.device, file.inode};
    if (store.impl().files_read.contains(key)) return {};
    // Read what fstat announced, no more: a device or a file that keeps
    // growing cannot make the load read without end.
    QS_TRY_ASSIGN(const std::string text, platform::readAtMost(fd.get(), size));
    QS_TRY(addPemCertificates(store, text, platform::wallClockSeconds()));
    try {
        store.impl().files_read.insert(key);
    } catch (const std::bad_alloc&) {
        // Only the shortcut is lost: the file would be read again.
    }
    return {};
}

}  // namespace

Result<void> addPemCertificates(TrustStore& store, std::string_view text, std::int64_t now) {
    initOpenSsl();
    try {
        PemCertificateScanner scanner(text);
        std::string der;
        for (;;) {
            QS_TRY_ASSIGN(const bool found, scanner.next(der));
            if (!found) return {};
            auto added = addDerCertificate(store.impl(), der, now);
            ERR_clear_error();  // parse failures leave OpenSSL's error queue filled
            if (!added) return added;
        }
    } catch (const std::bad_alloc&) {
        ERR_clear_error();
        return std::unexpected(Error::OutOfMemory);
    }
}

// Certificate files are opened without blocking: a FIFO placed among them
// must not stall every poll.
Result<void> addCertificateFile(TrustStore& store, std::string_view path) {
    QS_TRY_ASSIGN(const platform::Fd fd,
                  platform::openForReading(std::nullopt, path, platform::OpenBlocking::nonblock));
    return addFromDescriptor(store, fd);
}

Result<void> addCertificateFileAt(TrustStore& store, int directory_fd, std::string_view name) {
    QS_TRY_ASSIGN(const platform::Fd fd,
                  platform::openForReading(directory_fd, name, platform::OpenBlocking::nonblock));
    return addFromDescriptor(store, fd);
}

Result<void> replaceWithCertificateFile(TrustStore& store, std::string_view path) {
    store.clear();
    return addCertificateFile(store, path);
}

Result<void> reloadSystemTrustStore(TrustStore& store, std::string_view path) {
    if (!store.needsLoading()) return {};
    if (!replaceWithCertificateFile(store, path))
        return std::unexpected(Error::CertificateBundleLoadFailure);
    store.markLoaded();
    return {};
}

}  // namespace qs
