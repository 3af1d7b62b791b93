#pragma once
// X.509 certificates made at test time with the OpenSSL API: keys of every
// kind the TLS profile cares about, CA and leaf certificates with chosen
// names, validity and signature digests.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "tls/trust_store.hpp"

namespace qs::test {

enum class KeyKind { rsa1024, rsa1536, rsa2048, rsa3072, rsa4096, p256, p384, p521, ed25519 };

// One key per kind, generated on first use and kept for the whole run
// (RSA generation is slow); `variant` gives further distinct keys.
EVP_PKEY* testKey(KeyKind kind, int variant = 0);

enum class Digest { sha1, sha256, sha384, md5, none };

struct CertificateRecipe {
    std::string common_name = {};  // empty: no commonName
    std::string organization = "quillstead tests";
    std::vector<std::string> dns_names = {};     // subjectAltName dNSName entries
    std::vector<std::string> ip_addresses = {};  // subjectAltName iPAddress entries
    std::int64_t not_before = 0;                 // 0: an hour ago
    std::int64_t not_after = 0;                  // 0: a day from now
    KeyKind key = KeyKind::p256;
    int key_variant = 0;
    bool ca = false;
    bool basic_constraints = true;             // false: no basicConstraints at all
    std::optional<long> path_length = {};      // pathLenConstraint, with ca
    bool version1 = false;                     // an X.509 version 1 certificate: no extensions
    // Further extensions in OpenSSL's configuration syntax, for example
    // {"keyUsage", "critical,keyCertSign"} or {"1.2.3.4", "critical,DER:05:00"}.
    std::vector<std::pair<std::string, std::string>> extensions = {};
    Digest digest = Digest::sha256;  // of the issuer's signature; none for Ed25519
    long serial = 1;
    // Non-empty: stands in for the subjectPublicKey bits (labelled RSA), for
    // certificates whose key is never used, only measured.
    std::string raw_public_key = {};
};

struct X509Deleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

struct Certificate {
    std::shared_ptr<X509> x509;
    EVP_PKEY* key = nullptr;  // owned by testKey's cache

    [[nodiscard]] X509* get() const { return x509.get(); }
    [[nodiscard]] std::string pem() const;
    [[nodiscard]] std::string der() const;
    // The private key as unencrypted PKCS#8 PEM text, for servers that read
    // their key from a file.
    [[nodiscard]] std::string keyPem() const;
};

// Signs with `issuer`'s key and names it as issuer; self-signed without one.
Certificate makeCertificate(const CertificateRecipe& recipe, const Certificate* issuer = nullptr);

// PEM text for DER bytes, 64 characters a line.
std::string pemFromDer(const std::string& der);

std::int64_t nowSeconds();

// One small PKI shared by the TLS tests, made on first use: an RSA root, an
// ECDSA root, and an intermediate under the RSA root.
struct Pki {
    Certificate root;
    Certificate ec_root;
    Certificate intermediate;
};
const Pki& pki();

// A leaf certificate for `dns_names`, issued by the shared intermediate
// unless `issuer` names another.
Certificate leafFor(std::vector<std::string> dns_names, KeyKind key = KeyKind::p256,
                    const Certificate* issuer = nullptr);

// A certificate authority of its own and an RSA server certificate for
// "localhost" signed by it, written as PEM files into `dir` for servers and
// agents that read them from files. Every call makes new keys, so the CA of
// one call does not vouch for the server of another.
struct TestPki {
    std::string ca_certificate;  // ca.pem
    std::string server_chain;    // server.pem
    std::string server_key;      // server.key, mode 0600
};
TestPki makeTestPki(const std::string& dir);

// Adds `root` to `store` as valid now; fails the test if it is refused.
void trust(TrustStore& store, const Certificate& root);

}  // namespace qs::test
