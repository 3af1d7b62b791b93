#include "tls/certificate_check.hpp"

#include <ctime>
#include <memory>
#include <string>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "util/text.hpp"

namespace qs {

namespace {

std::string_view asView(const ASN1_STRING* text) {
    if (text == nullptr) return {};
    return {reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
            static_cast<std::size_t>(ASN1_STRING_length(text))};
}

std::string_view nameDer(const X509_NAME* name) {
    const unsigned char* bytes = nullptr;
    std::size_t length = 0;
    if (name == nullptr || X509_NAME_get0_der(name, &bytes, &length) != 1) return {};
    return {reinterpret_cast<const char*>(bytes), length};
}

struct OctetStringFree {
    void operator()(ASN1_OCTET_STRING* text) const { ASN1_OCTET_STRING_free(text); }
};

// The address bytes of an IPv4 or IPv6 literal (an IPv6 one may stand in
// brackets, as a URL writes it); null for any other name.
std::unique_ptr<ASN1_OCTET_STRING, OctetStringFree> addressOf(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty() || host.size() > 64) return nullptr;
    // IPv4 in its plain dotted form only: the resolver may read a leading
    // zero as octal ("010" is 8) where the parser below reads it as decimal,
    // and the certificate must be judged for the address connected to.
    if (host.find(':') == std::string_view::npos) {
        for (std::size_t i = 0; i + 1 < host.size(); ++i) {
            const bool starts_part = i == 0 || host[i - 1] == '.';
            if (starts_part && host[i] == '0' && host[i + 1] != '.') return nullptr;
        }
    }
    const std::string text(host);
    // Runs inside the handshake: whatever the parse adds to OpenSSL's error
    // queue goes again.
    ERR_set_mark();
    std::unique_ptr<ASN1_OCTET_STRING, OctetStringFree> address(a2i_IPADDRESS(text.c_str()));
    ERR_pop_to_mark();
    return address;
}

struct GeneralNamesFree {
    void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};

bool isAcceptedRsaSize(int bits) {
    return bits == 1024 || bits == 2048 || bits == 3072 || bits == 4096;
}

// The curve of an EC key as an OpenSSL NID, or NID_undef.
int curveOf(const EVP_PKEY* key) {
    char name[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_group_name(key, name, sizeof name, &length) != 1) return NID_undef;
    const int nid = OBJ_sn2nid(name);
    return nid != NID_undef ? nid : OBJ_ln2nid(name);
}

enum class Family { rsa, ecdsa, ed25519 };

// Which signature family the certificate's algorithm belongs to, if it is
// one we accept.
Result<Family> acceptedAlgorithm(const X509* certificate) {
    const int signature = X509_get_signature_nid(certificate);
    switch (signature) {
    case NID_sha1WithRSAEncryption:
    case NID_sha224WithRSAEncryption:
    case NID_sha256WithRSAEncryption:
    case NID_sha384WithRSAEncryption:
    case NID_sha512WithRSAEncryption: return Family::rsa;
    case NID_ecdsa_with_SHA224:
    case NID_ecdsa_with_SHA256:
    case NID_ecdsa_with_SHA384:
    case NID_ecdsa_with_SHA512: return Family::ecdsa;
    case NID_ED25519: return Family::ed25519;
    default:
        // MD2, MD5, RSA-PSS, DSA and everything unknown.
        return std::unexpected(Error::CertificateSignatureAlgorithmUnsupported);
    }
}

Result<void> checkIssuerKey(Family family, const EVP_PKEY* key) {
    const int type = EVP_PKEY_get_base_id(key);
    switch (family) {
    case Family::rsa:
        if (type != EVP_PKEY_RSA)
            return std::unexpected(Error::CertificateSignatureAlgorithmMismatch);
        if (!isAcceptedRsaSize(EVP_PKEY_get_bits(key)))
            return std::unexpected(Error::CertificatePublicKeyInvalid);
        return {};
    case Family::ecdsa: {
        if (type != EVP_PKEY_EC)
            return std::unexpected(Error::CertificateSignatureAlgorithmMismatch);
        const int curve = curveOf(key);
        if (curve != NID_X9_62_prime256v1 && curve != NID_secp384r1)
            return std::unexpected(Error::CertificateSignatureNamedCurveUnsupported);
        return {};
    }
    case Family::ed25519:
        if (type != EVP_PKEY_ED25519)
            return std::unexpected(Error::CertificateSignatureAlgorithmMismatch);
        return {};
    }
    return std::unexpected(Error::CertificateSignatureAlgorithmUnsupported);
}

struct NameConstraintsFree {
    void operator()(NAME_CONSTRAINTS* constraints) const { NAME_CONSTRAINTS_free(constraints); }
};

enum class Signer { intermediate, anchor };

// Whether `certificate` may sign others: basicConstraints with CA:TRUE and,
// when it has a keyUsage, keyCertSign in it. A version 1 self-signed
// certificate predates extensions; it is let through as the trust anchor
// only, since someone chose to put it into the store.
Result<void> checkMaySign(X509* certificate, Signer role) {
    // X509_check_ca: 1 is CA:TRUE with keyCertSign in any keyUsage, 3 a
    // version 1 self-signed root; its other answers are guesses from keyUsage
    // or Netscape types, not a CA flag.
    const int ca = X509_check_ca(certificate);
    if (ca == 1 || (ca == 3 && role == Signer::anchor)) return {};
    const std::uint32_t flags = X509_get_extension_flags(certificate);
    if ((flags & EXFLAG_CA) != 0 && (flags & EXFLAG_KUSAGE) != 0 &&
        (X509_get_key_usage(certificate) & KU_KEY_CERT_SIGN) == 0)
        return std::unexpected(Error::CertificateKeyUsageInvalid);
    return std::unexpected(Error::CertificateNotCa);
}

// pathLenConstraint limits the CA certificates below the signer, not
// counting the leaf nor self-issued ones (a CA re-keying itself).
Result<void> checkPathLength(X509* signer, std::span<x509_st* const> below) {
    const long limit = X509_get_pathlen(signer);
    if (limit < 0) return {};
    long intermediates = 0;
    for (std::size_t i = 1; i < below.size(); ++i)
        if ((X509_get_extension_flags(below[i]) & EXFLAG_SI) == 0) ++intermediates;
    if (intermediates > limit) return std::unexpected(Error::CertificatePathLengthExceeded);
    return {};
}

// A signer's nameConstraints bind every certificate below it; for the leaf
// the commonName counts as a host name when there is no subjectAltName, as
// it does for the host-name check.
Result<void> checkNameConstraints(X509* signer, std::span<x509_st* const> below) {
    if (X509_get_ext_by_NID(signer, NID_name_constraints, -1) < 0) return {};
    std::unique_ptr<NAME_CONSTRAINTS, NameConstraintsFree> constraints(static_cast<NAME_CONSTRAINTS*>(
        X509_get_ext_d2i(signer, NID_name_constraints, nullptr, nullptr)));
    if (!constraints) return std::unexpected(Error::CertificateExtensionInvalid);
    for (std::size_t i = 0; i < below.size(); ++i) {
        if (i > 0 && (X509_get_extension_flags(below[i]) & EXFLAG_SI) != 0) continue;
        if (NAME_CONSTRAINTS_check(below[i], constraints.get()) != X509_V_OK)
            return std::unexpected(Error::CertificateNameConstraintViolated);
    }
    X509* leaf = below.front();
    if (X509_get_ext_by_NID(leaf, NID_subject_alt_name, -1) < 0 &&
        NAME_CONSTRAINTS_check_CN(leaf, constraints.get()) != X509_V_OK)
        return std::unexpected(Error::CertificateNameConstraintViolated);
    return {};
}

// Extensions OpenSSL could not decode, and critical ones it does not know
// and so cannot honour, make a certificate unusable.
Result<void> checkExtensions(X509* certificate) {
    const std::uint32_t flags = X509_get_extension_flags(certificate);
    if ((flags & EXFLAG_INVALID) != 0) return std::unexpected(Error::CertificateExtensionInvalid);
    if ((flags & EXFLAG_CRITICAL) != 0)
        return std::unexpected(Error::CertificateCriticalExtensionUnknown);
    return {};
}

// A leaf restricted by extendedKeyUsage must allow a TLS server.
Result<void> checkServerPurpose(X509* leaf) {
    if ((X509_get_extension_flags(leaf) & EXFLAG_XKUSAGE) == 0) return {};
    if ((X509_get_extended_key_usage(leaf) & (XKU_SSL_SERVER | XKU_ANYEKU)) == 0)
        return std::unexpected(Error::CertificatePurposeInvalid);
    return {};
}

}  // namespace

Result<void> checkPathConstraints(std::span<x509_st* const> path, x509_st* anchor) {
    if (path.empty()) return std::unexpected(Error::TlsCertificateNotVerified);
    for (x509_st* certificate : path) QS_TRY(checkExtensions(certificate));
    QS_TRY(checkExtensions(anchor));
    QS_TRY(checkServerPurpose(path.front()));
    // Every certificate that signed another, from the leaf's issuer upwards.
    for (std::size_t i = 1; i <= path.size(); ++i) {
        const bool is_anchor = i == path.size();
        X509* signer = is_anchor ? anchor : path[i];
        const std::span<x509_st* const> below = path.first(i);
        QS_TRY(checkMaySign(signer, is_anchor ? Signer::anchor : Signer::intermediate));
        QS_TRY(checkPathLength(signer, below));
        QS_TRY(checkNameConstraints(signer, below));
    }
    return {};
}

bool hostNameMatches(std::string_view candidate, std::string_view host) {
    if (candidate.empty() || host.empty()) return false;
    if (equalsIgnoringCase(candidate, host)) return true;
    if (!candidate.starts_with("*.")) return false;
    const std::string_view suffix = candidate.substr(2);
    if (suffix.find('*') != std::string_view::npos) return false;
    // "*.com" would stand for every name under a top-level domain.
    if (suffix.find('.') == std::string_view::npos) return false;
    const std::size_t dot = host.find('.');
    if (dot == std::string_view::npos) return false;
    return equalsIgnoringCase(suffix, host.substr(dot + 1));
}

Result<void> checkHostName(x509_st* leaf, std::string_view host, AddressMatching addresses) {
    // The extension's presence decides, even when it holds no dNSName: a
    // certificate for IP addresses only must not fall back to its commonName.
    if (X509_get_ext_by_NID(leaf, NID_subject_alt_name, -1) >= 0) {
        std::unique_ptr<GENERAL_NAMES, GeneralNamesFree> names(static_cast<GENERAL_NAMES*>(
            X509_get_ext_d2i(leaf, NID_subject_alt_name, nullptr, nullptr)));
        if (!names) return std::unexpected(Error::CertificateHostMismatch);
        const std::unique_ptr<ASN1_OCTET_STRING, OctetStringFree> address =
            addresses == AddressMatching::addresses_too ? addressOf(host) : nullptr;
        for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
            if (name->type == GEN_IPADD && address &&
                ASN1_OCTET_STRING_cmp(name->d.iPAddress, address.get()) == 0)
                return {};
            if (name->type != GEN_DNS) continue;
            if (hostNameMatches(asView(name->d.dNSName), host)) return {};
        }
        return std::unexpected(Error::CertificateHostMismatch);
    }
    // Without the extension the commonName is the one candidate; with several,
    // the last is the most specific.
    const X509_NAME* subject = X509_get_subject_name(leaf);
    int index = -1;
    int last = -1;
    while ((index = X509_NAME_get_index_by_NID(subject, NID_commonName, index)) >= 0) last = index;
    if (last < 0) return std::unexpected(Error::CertificateHostMismatch);
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, last);
    if (!hostNameMatches(asView(X509_NAME_ENTRY_get_data(entry)), host))
        return std::unexpected(Error::CertificateHostMismatch);
    return {};
}

namespace {

// Whole seconds, both limits inclusive: a certificate is good during the
// second its notAfter names.
Result<void> checkValidity(x509_st* certificate, std::int64_t now) {
    const auto moment = static_cast<time_t>(now);
    const int starts = ASN1_TIME_cmp_time_t(X509_get0_notBefore(certificate), moment);
    if (starts == -2) return std::unexpected(Error::CertificateNotYetValid);
    if (starts > 0) return std::unexpected(Error::CertificateNotYetValid);
    const int ends = ASN1_TIME_cmp_time_t(X509_get0_notAfter(certificate), moment);
    if (ends == -2 || ends < 0) return std::unexpected(Error::CertificateExpired);
    return {};
}

// Whether the store holds this very certificate, encoding for encoding.
bool storeHoldsItself(x509_st* certificate, const TrustStore& store) {
    x509_st* held = store.findBySubject(nameDer(X509_get_subject_name(certificate)));
    return held != nullptr && X509_cmp(held, certificate) == 0;
}

}  // namespace

Result<void> checkIssuedBy(x509_st* certificate, x509_st* issuer, std::int64_t now) {
    const std::string_view issuer_name = nameDer(X509_get_issuer_name(certificate));
    if (issuer_name.empty() || issuer_name != nameDer(X509_get_subject_name(issuer)))
        return std::unexpected(Error::CertificateIssuerMismatch);
    QS_TRY(checkValidity(certificate, now));

    QS_TRY_ASSIGN(const Family family, acceptedAlgorithm(certificate));
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    if (key == nullptr) return std::unexpected(Error::CertificateSignatureAlgorithmMismatch);
    QS_TRY(checkIssuerKey(family, key));
    if (X509_verify(certificate, key) != 1)
        return std::unexpected(Error::CertificateSignatureInvalid);
    return {};
}

Result<void> verifyServerChain(std::span<x509_st* const> chain, const TrustStore& store,
                               std::string_view host, std::int64_t now,
                               AddressMatching addresses) {
    if (chain.empty()) return std::unexpected(Error::TlsCertificateNotVerified);
    x509_st* leaf = chain.front();
    QS_TRY(checkHostName(leaf, host, addresses));
    const ASN1_BIT_STRING* key_bits = X509_get0_pubkey_bitstr(leaf);
    if (key_bits == nullptr ||
        static_cast<std::size_t>(ASN1_STRING_length(key_bits)) > kMaxLeafPublicKeyBytes)
        return std::unexpected(Error::CertificatePublicKeyInvalid);

    // A server certificate that someone put into the store itself (a pinned,
    // often self-signed one) is trusted as itself: no issuer has to stand
    // behind it, so it needs no CA flag, as OpenSSL and curl accept. It must
    // still be valid now and fit for a TLS server.
    if (storeHoldsItself(leaf, store)) {
        QS_TRY(checkExtensions(leaf));
        QS_TRY(checkServerPurpose(leaf));
        return checkValidity(leaf, now);
    }

    for (std::size_t i = 0; i < chain.size(); ++i) {
        // The list must be in chain order: each certificate issued the one before.
        if (i > 0) QS_TRY(checkIssuedBy(chain[i - 1], chain[i], now));
        x509_st* root = store.findBySubject(nameDer(X509_get_issuer_name(chain[i])));
        if (root != nullptr) {
            QS_TRY(checkIssuedBy(chain[i], root, now));
            return checkPathConstraints(chain.first(i + 1), root);
        }
    }
    return std::unexpected(Error::TlsCertificateNotVerified);
}

}  // namespace qs
