#pragma once
// The certificate authorities one HTTP client trusts. Created empty with the
// client, filled once per cycle, discarded with the client.

#include <cstddef>
#include <memory>
#include <string_view>

#include "util/error.hpp"

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

    struct Impl;
    [[nodiscard]] Impl& impl() { return *impl_; }
    [[nodiscard]] const Impl& impl() const { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
    bool needs_loading_ = true;
};

// Empties the store and adds the certificates of the file at `path`;
// clears the loading mark on success. CertificateBundleLoadFailure when the
// file cannot be read or parsed.
[[nodiscard]] Result<void> reloadSystemTrustStore(TrustStore& store,
                                                  std::string_view path = kSystemCertPath);

}  // namespace qs
