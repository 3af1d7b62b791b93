#include "tls/client_identity.hpp"

#include <new>
#include <string>

#include <openssl/err.h>
#include <openssl/pem.h>

#include "tls/client_identity_impl.hpp"
#include "tls/openssl_init.hpp"
#include "tls/pem.hpp"

namespace qs {

namespace {

Result<std::unique_ptr<ClientIdentity::Impl>> parse(std::string_view certificate_pem,
                                                    std::string_view key_pem) {
    auto impl = std::make_unique<ClientIdentity::Impl>();
    PemCertificateScanner scanner(certificate_pem);
    std::string der;
    for (;;) {
        const auto found = scanner.next(der);
        if (!found) return std::unexpected(Error::ClientCertificateMalformed);
        if (!*found) break;
        const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
        std::unique_ptr<X509, ClientIdentityX509Free> certificate(
            d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
        if (!certificate) return std::unexpected(Error::ClientCertificateMalformed);
        if (!impl->certificate) impl->certificate = std::move(certificate);
        else impl->chain.push_back(std::move(certificate));
    }
    if (!impl->certificate) return std::unexpected(Error::ClientCertificateMalformed);

    // The key is read from memory, never with a passphrase prompt: an
    // encrypted key has no one to unlock it.
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())), &BIO_free);
    if (!bio) throw std::bad_alloc();
    static char kNoPassphrase[] = "";
    impl->key.reset(PEM_read_bio_PrivateKey(
        bio.get(), nullptr, [](char*, int, int, void*) { return -1; }, kNoPassphrase));
    if (!impl->key) return std::unexpected(Error::ClientKeyMalformed);
    const int type = EVP_PKEY_get_base_id(impl->key.get());
    if (type != EVP_PKEY_RSA && type != EVP_PKEY_EC)
        return std::unexpected(Error::KeyAlgorithmUnsupported);
    if (X509_check_private_key(impl->certificate.get(), impl->key.get()) != 1)
        return std::unexpected(Error::ClientKeyMismatch);
    return impl;
}

}  // namespace

ClientIdentity::ClientIdentity(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ClientIdentity::~ClientIdentity() = default;

Result<std::shared_ptr<const ClientIdentity>> ClientIdentity::fromPem(
    std::string_view certificate_pem, std::string_view key_pem) {
    initOpenSsl();
    try {
        auto parsed = parse(certificate_pem, key_pem);
        ERR_clear_error();
        if (!parsed) return std::unexpected(parsed.error());
        return std::shared_ptr<const ClientIdentity>(new ClientIdentity(std::move(*parsed)));
    } catch (const std::bad_alloc&) {
        ERR_clear_error();
        return std::unexpected(Error::OutOfMemory);
    }
}

}  // namespace qs
