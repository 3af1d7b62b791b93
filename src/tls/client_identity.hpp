#pragma once
// The certificate and private key the agent presents to a server that asks
// for one (TLS client authentication), parsed once and shared by every
// session that presents them.

#include <memory>
#include <string_view>

#include "util/error.hpp"

namespace qs {

class ClientIdentity {
public:
    // `certificate_pem`: the client certificate first, then any
    // intermediates to send with it. `key_pem`: its private key, RSA or
    // ECDSA, unencrypted (PKCS#8 or the traditional form). Errors:
    // ClientCertificateMalformed (no certificate, or one that does not
    // parse), ClientKeyMalformed (no key, or an encrypted one),
    // KeyAlgorithmUnsupported (neither RSA nor ECDSA), ClientKeyMismatch
    // (the key is not the certificate's), OutOfMemory.
    [[nodiscard]] static Result<std::shared_ptr<const ClientIdentity>> fromPem(
        std::string_view certificate_pem, std::string_view key_pem);
    ~ClientIdentity();
    ClientIdentity(const ClientIdentity&) = delete;
    ClientIdentity& operator=(const ClientIdentity&) = delete;

    struct Impl;
    [[nodiscard]] const Impl& impl() const { return *impl_; }

private:
    explicit ClientIdentity(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qs
