#include "http/trust_store.hpp"

#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "http/openssl_init.hpp"
#include "http/pem.hpp"
#include "platform/cert_files.hpp"
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

}  // namespace

struct TrustStore::Impl {
    std::vector<X509Ptr> certificates;  // in the order they were added
    std::unordered_map<std::string, X509*> by_subject;
};

TrustStore::TrustStore() : impl_(std::make_unique<Impl>()) {}
TrustStore::~TrustStore() = default;

std::size_t TrustStore::size() const { return impl_->certificates.size(); }

void TrustStore::clear() {
    impl_->by_subject.clear();
    impl_->certificates.clear();
}

x509_st* TrustStore::findBySubject(std::string_view subject_der) const {
    const auto found = impl_->by_subject.find(std::string(subject_der));
    return found == impl_->by_subject.end() ? nullptr : found->second;
}

namespace {

Result<void> addDerCertificate(TrustStore::Impl& impl, const std::string& der, std::int64_t now) {
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!certificate) return std::unexpected(Error::CertificateMalformed);
    if (cursor != reinterpret_cast<const unsigned char*>(der.data() + der.size()))
        return std::unexpected(Error::CertificateMalformed);  // bytes after the certificate

    if (!namesKnownAlgorithms(certificate.get())) return {};
    if (X509_get0_pubkey(certificate.get()) == nullptr) {
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
    if (impl.by_subject.contains(subject)) return {};

    impl.certificates.push_back(std::move(certificate));
    impl.by_subject.emplace(std::move(subject), impl.certificates.back().get());
    return {};
}

Result<void> addFromDescriptor(TrustStore& store, const platform::Fd& fd) {
    QS_TRY_ASSIGN(const std::uint64_t size, platform::fileSize(fd.get()));
    // The decoded form of a base64 file takes three quarters of its size; the
    // pair must stay within 32-bit lengths.
    if (size > kMaxCertificateBundleSpan || size + size * 3 / 4 > kMaxCertificateBundleSpan)
        return std::unexpected(Error::CertificateAuthorityBundleTooBig);
    // Read what fstat announced, no more: a device or a file that keeps
    // growing cannot make the load read without end.
    QS_TRY_ASSIGN(const std::string text, platform::readAtMost(fd.get(), size));
    return addPemCertificates(store, text, platform::wallClockSeconds());
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

Result<void> addCertificateFile(TrustStore& store, std::string_view path) {
    QS_TRY_ASSIGN(const platform::Fd fd, platform::openFileReadOnly(path));
    return addFromDescriptor(store, fd);
}

Result<void> addCertificateFileAt(TrustStore& store, int directory_fd, std::string_view name) {
    QS_TRY_ASSIGN(const platform::Fd fd, platform::openFileReadOnlyAt(directory_fd, name));
    return addFromDescriptor(store, fd);
}

Result<void> replaceWithCertificateFile(TrustStore& store, std::string_view path) {
    store.clear();
    return addCertificateFile(store, path);
}

Result<void> reloadSystemTrustStore(TrustStore& store, std::string_view path) {
    const auto guard = store.lock();
    if (!store.needsLoading()) return {};
    if (!replaceWithCertificateFile(store, path))
        return std::unexpected(Error::CertificateBundleLoadFailure);
    store.markLoaded();
    return {};
}

}  // namespace qs
