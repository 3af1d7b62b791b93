#include "support/certificates.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "support/temp_dir.hpp"

namespace qs::test {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};

EVP_PKEY* generate(KeyKind kind) {
    const char* algorithm = "RSA";
    unsigned bits = 0;
    const char* curve = nullptr;
    switch (kind) {
    case KeyKind::rsa1024: bits = 1024; break;
    case KeyKind::rsa1536: bits = 1536; break;
    case KeyKind::rsa2048: bits = 2048; break;
    case KeyKind::rsa3072: bits = 3072; break;
    case KeyKind::rsa4096: bits = 4096; break;
    case KeyKind::p256:
        algorithm = "EC";
        curve = "P-256";
        break;
    case KeyKind::p384:
        algorithm = "EC";
        curve = "P-384";
        break;
    case KeyKind::p521:
        algorithm = "EC";
        curve = "P-521";
        break;
    case KeyKind::ed25519: algorithm = "ED25519"; break;
    }
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(
        EVP_PKEY_CTX_new_from_name(nullptr, algorithm, nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1) throw std::runtime_error("keygen init");
    if (bits != 0 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1)
        throw std::runtime_error("rsa bits");
    if (curve != nullptr && EVP_PKEY_CTX_set_group_name(ctx.get(), curve) != 1)
        throw std::runtime_error("curve");
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &key) != 1) throw std::runtime_error("keygen");
    return key;
}

const EVP_MD* digestOf(Digest digest) {
    switch (digest) {
    case Digest::sha1: return EVP_sha1();
    case Digest::sha256: return EVP_sha256();
    case Digest::sha384: return EVP_sha384();
    case Digest::md5: return EVP_md5();
    case Digest::none: return nullptr;
    }
    return nullptr;
}

void setTime(ASN1_TIME* field, std::int64_t seconds) {
    if (ASN1_TIME_set(field, static_cast<time_t>(seconds)) == nullptr)
        throw std::runtime_error("time");
}

}  // namespace

EVP_PKEY* testKey(KeyKind kind, int variant) {
    static std::mutex lock;
    static std::map<std::pair<KeyKind, int>, std::unique_ptr<EVP_PKEY, PkeyFree>>
        keys;  // until exit
    const std::lock_guard guard(lock);
    auto& slot = keys[{kind, variant}];
    if (!slot) slot.reset(generate(kind));
    return slot.get();
}

std::int64_t nowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string Certificate::der() const {
    unsigned char* bytes = nullptr;
    const int length = i2d_X509(x509.get(), &bytes);
    if (length <= 0) throw std::runtime_error("i2d_X509");
    std::string out(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(length));
    OPENSSL_free(bytes);
    return out;
}

std::string Certificate::pem() const { return pemFromDer(der()); }

std::string Certificate::keyPem() const {
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), &BIO_free);
    if (!out || PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw std::runtime_error("PEM_write_bio_PrivateKey");
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(out.get(), &bytes);
    return {bytes, static_cast<std::size_t>(length)};
}

std::string pemFromDer(const std::string& der) {
    std::string encoded(4 * ((der.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                       reinterpret_cast<const unsigned char*>(der.data()),
                                       static_cast<int>(der.size()));
    encoded.resize(static_cast<std::size_t>(length));
    std::string out = "-----BEGIN CERTIFICATE-----\n";
    for (std::size_t i = 0; i < encoded.size(); i += 64) out += encoded.substr(i, 64) + "\n";
    out += "-----END CERTIFICATE-----\n";
    return out;
}

Certificate makeCertificate(const CertificateRecipe& recipe, const Certificate* issuer) {
    Certificate result;
    result.key = testKey(recipe.key, recipe.key_variant);
    result.x509.reset(X509_new(), X509Deleter{});
    X509* x = result.x509.get();
    X509_set_version(x, recipe.version1 ? 0 : 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), recipe.serial);

    X509_NAME* subject = X509_get_subject_name(x);
    if (!recipe.organization.empty())
        X509_NAME_add_entry_by_txt(
            subject, "O", MBSTRING_ASC,
            reinterpret_cast<const unsigned char*>(recipe.organization.c_str()), -1, -1, 0);
    if (!recipe.common_name.empty())
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(recipe.common_name.c_str()),
                                   -1, -1, 0);
    X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer->get()) : subject);

    const std::int64_t now = nowSeconds();
    setTime(X509_getm_notBefore(x), recipe.not_before != 0 ? recipe.not_before : now - 3600);
    setTime(X509_getm_notAfter(x), recipe.not_after != 0 ? recipe.not_after : now + 86400);
    X509_set_pubkey(x, result.key);
    if (!recipe.raw_public_key.empty()) {
        auto* bits = static_cast<unsigned char*>(OPENSSL_malloc(recipe.raw_public_key.size()));
        std::memcpy(bits, recipe.raw_public_key.data(), recipe.raw_public_key.size());
        X509_PUBKEY_set0_param(X509_get_X509_PUBKEY(x), OBJ_nid2obj(NID_rsaEncryption), V_ASN1_NULL,
                               nullptr, bits, static_cast<int>(recipe.raw_public_key.size()));
    }

    if (recipe.basic_constraints && !recipe.version1) {
        BASIC_CONSTRAINTS* constraints = BASIC_CONSTRAINTS_new();
        constraints->ca = recipe.ca ? 0xFF : 0;
        if (recipe.path_length) {
            constraints->pathlen = ASN1_INTEGER_new();
            ASN1_INTEGER_set(constraints->pathlen, *recipe.path_length);
        }
        X509_add1_ext_i2d(x, NID_basic_constraints, constraints, 1, X509V3_ADD_DEFAULT);
        BASIC_CONSTRAINTS_free(constraints);
    }

    for (const auto& [name, value] : recipe.extensions) {
        X509V3_CTX context;
        X509V3_set_ctx(&context, issuer != nullptr ? issuer->get() : x, x, nullptr, nullptr, 0);
        X509_EXTENSION* extension =
            X509V3_EXT_nconf(nullptr, &context, name.c_str(), value.c_str());
        if (extension == nullptr) throw std::runtime_error("extension " + name);
        X509_add_ext(x, extension, -1);
        X509_EXTENSION_free(extension);
    }

    if (!recipe.version1 && (!recipe.dns_names.empty() || !recipe.ip_addresses.empty())) {
        GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
        for (const std::string& dns : recipe.dns_names) {
            GENERAL_NAME* name = GENERAL_NAME_new();
            ASN1_IA5STRING* text = ASN1_IA5STRING_new();
            ASN1_STRING_set(text, dns.data(), static_cast<int>(dns.size()));
            GENERAL_NAME_set0_value(name, GEN_DNS, text);
            sk_GENERAL_NAME_push(names, name);
        }
        for (const std::string& ip : recipe.ip_addresses) {
            GENERAL_NAME* name = GENERAL_NAME_new();
            GENERAL_NAME_set0_value(name, GEN_IPADD, a2i_IPADDRESS(ip.c_str()));
            sk_GENERAL_NAME_push(names, name);
        }
        X509_add1_ext_i2d(x, NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT);
        GENERAL_NAMES_free(names);
    }

    EVP_PKEY* signer = issuer != nullptr ? issuer->key : result.key;
    const Digest digest =
        EVP_PKEY_get_base_id(signer) == EVP_PKEY_ED25519 ? Digest::none : recipe.digest;
    if (X509_sign(x, signer, digestOf(digest)) <= 0) throw std::runtime_error("X509_sign");
    return result;
}

const Pki& pki() {
    static const Pki instance = [] {
        Pki made;
        made.root = makeCertificate({.common_name = "Test Root", .key = KeyKind::rsa2048, .ca = true});
        made.ec_root =
            makeCertificate({.common_name = "Test EC Root", .key = KeyKind::p384, .ca = true});
        made.intermediate = makeCertificate({.common_name = "Test Intermediate",
                                             .key = KeyKind::p256,
                                             .key_variant = 1,
                                             .ca = true},
                                            &made.root);
        return made;
    }();
    return instance;
}

Certificate leafFor(std::vector<std::string> dns_names, KeyKind key, const Certificate* issuer) {
    return makeCertificate({.common_name = "leaf", .dns_names = std::move(dns_names), .key = key},
                           issuer != nullptr ? issuer : &pki().intermediate);
}

TestPki makeTestPki(const std::string& dir) {
    // Key variants no other test asks for, a fresh pair for every call.
    static std::atomic<int> next_variant{1000};
    const int variant = next_variant.fetch_add(1);
    const Certificate ca = makeCertificate({.common_name = "quillstead test CA",
                                            .organization = "",
                                            .not_after = nowSeconds() + 30 * 86400,
                                            .key = KeyKind::rsa2048,
                                            .key_variant = variant,
                                            .ca = true,
                                            .extensions = {{"keyUsage", "critical,keyCertSign,cRLSign"}}});
    const Certificate server = makeCertificate({.common_name = "localhost",
                                                .organization = "",
                                                .dns_names = {"localhost"},
                                                .not_after = nowSeconds() + 30 * 86400,
                                                .key = KeyKind::rsa2048,
                                                .key_variant = variant,
                                                .extensions = {{"extendedKeyUsage", "serverAuth"}},
                                                .serial = 2},
                                               &ca);
    TestPki pki{dir + "/ca.pem", dir + "/server.pem", dir + "/server.key"};
    writeFile(pki.ca_certificate, ca.pem());
    writeFile(pki.server_chain, server.pem());
    writeFile(pki.server_key, server.keyPem());
    std::filesystem::permissions(pki.server_key, std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_write);
    return pki;
}

void trust(TrustStore& store, const Certificate& root) {
    ASSERT_TRUE(addPemCertificates(store, root.pem(), nowSeconds()));
}

}  // namespace qs::test
