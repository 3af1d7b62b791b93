#pragma once
// What a ClientIdentity holds, for the TLS session that presents it.

#include <memory>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "tls/client_identity.hpp"

namespace qs {

struct ClientIdentityX509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct ClientIdentityKeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

struct ClientIdentity::Impl {
    std::unique_ptr<X509, ClientIdentityX509Free> certificate;
    std::vector<std::unique_ptr<X509, ClientIdentityX509Free>> chain;  // sent after it
    std::unique_ptr<EVP_PKEY, ClientIdentityKeyFree> key;
};

}  // namespace qs
