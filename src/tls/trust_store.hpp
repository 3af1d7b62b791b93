#pragma once
// The certificate authorities one HTTP client trusts. Created empty with the
// client, filled once per cycle, discarded with the client. At most one
// certificate per subject name: the first one added wins.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "util/error.hpp"

struct x509_st;  // OpenSSL's X509, kept opaque outside the TLS files

namespace qs {

// The client's own system path, reloaded when an https request finds the
// store still unloaded.
inline constexpr std::string_view kSystemCertPath = "/etc/ssl/cert.pem";

class TrustStore {
public:
    TrustStore();
    ~TrustStore();
    TrustStore(const TrustStore&) = delete;
    TrustStore& operator=(const TrustStore&) = delete;

    // True until a load succeeds.
    [[nodiscard]] bool needsLoading() const { return needs_loading_; }
    void markLoaded() { needs_loading_ = false; }

    [[nodiscard]] std::size_t size() const;
    void clear();

    // The earliest notAfter (wall-clock seconds) among the certificates
    // held; INT64_MAX when the store is empty. A store kept past it holds a
    // certificate that a fresh load would now skip.
    [[nodiscard]] std::int64_t validUntil() const;

    // The certificate whose subject name is `subject_der` (the DER encoding
    // of an X.509 Name, compared byte for byte), or null. Owned by the store.
    // Certificates are loaded without decoding their public keys; the first
    // lookup of one decodes it in full, and one whose key does not decode
    // is reported as absent.
    [[nodiscard]] x509_st* findBySubject(std::string_view subject_der) const;

    struct Impl;
    [[nodiscard]] Impl& impl() { return *impl_; }
    [[nodiscard]] const Impl& impl() const { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
    bool needs_loading_ = true;
};

// A file whose size plus three quarters of it would pass this is refused
// before it is read: the decoding works in 32-bit lengths.
inline constexpr std::uint64_t kMaxCertificateBundleSpan = 4294967295u;

// Adds the certificates of PEM `text` to the store, as valid at `now` (wall
// clock seconds): certificates naming an algorithm the parser does not know
// and certificates expired before `now` are skipped, as is a second
// certificate for a subject the store already holds. Bytes already met since
// the store was last emptied are not parsed again: they would end as they
// did then. On failure the certificates added before it stay. Errors:
// MissingEndCertificateMarker, InvalidCharacter, InvalidPadding,
// CertificateMalformed, OutOfMemory.
[[nodiscard]] Result<void> addPemCertificates(TrustStore& store, std::string_view text,
                                              std::int64_t now);

// Reads the whole file at `path` (or `name` inside the open directory
// `directory_fd`) and adds its certificates as valid at the current time.
// A file already read whole into the store since it was last emptied (the
// same device and inode, reached through another name or link) is opened
// but not read again.
// Errors: those of opening and reading the file, CertificateAuthorityBundleTooBig,
// then those of addPemCertificates.
[[nodiscard]] Result<void> addCertificateFile(TrustStore& store, std::string_view path);
[[nodiscard]] Result<void> addCertificateFileAt(TrustStore& store, int directory_fd,
                                                std::string_view name);

// Empties the store, then adds the certificates of the file at `path`; the
// error says why the file failed. Neither locks nor marks the store.
[[nodiscard]] Result<void> replaceWithCertificateFile(TrustStore& store, std::string_view path);

// The client's own load: under the store's lock, if the store still needs
// loading, empties it, adds the certificates of `path` and clears the
// loading mark. Success without touching anything when it is already loaded.
// Any failure is CertificateBundleLoadFailure and leaves the mark set.
[[nodiscard]] Result<void> reloadSystemTrustStore(TrustStore& store,
                                                  std::string_view path = kSystemCertPath);

}  // namespace qs
