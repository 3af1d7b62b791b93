#pragma once
// The server-certificate checks of a TLS handshake, done here rather than by
// OpenSSL's chain builder: the chain is taken in the order the server sent
// it, the trust store is consulted after each certificate by exact issuer
// name, validity is judged against one wall-clock reading, and only the
// signature algorithms and key sizes below are accepted. OpenSSL's builder
// would reorder, search, apply its security levels and skip checks we want.

#include <cstdint>
#include <span>
#include <string_view>

#include "tls/trust_store.hpp"
#include "util/error.hpp"

struct x509_st;

namespace qs {

// Leaf public keys longer than this (the subjectPublicKey bits, in bytes)
// are refused: a 4096-bit RSA key needs 526, so this leaves headroom for
// every key the handshake accepts and nothing absurd.
inline constexpr std::size_t kMaxLeafPublicKeyBytes = 600;

// One name candidate against the server name, ASCII letters compared without
// regard to case. "*.suffix" stands for exactly one leading label: it matches
// when the server name has a "." and the part after its first "." equals
// the suffix (which must hold a "." and no further "*"). Empty names never
// match.
[[nodiscard]] bool hostNameMatches(std::string_view candidate, std::string_view host);

// Whether an IP-address server name is looked up among the certificate's
// iPAddress subjectAltName entries too.
enum class AddressMatching { dns_names_only, addresses_too };

// The leaf's dNSName subjectAltName entries (other entry types are
// ignored, IP addresses too unless `addresses` says otherwise, where a
// server name that is an IPv4 or IPv6 literal, brackets allowed, matches an
// entry of the same address), or its commonName when it has no
// subjectAltName extension. CertificateHostMismatch when none matches.
[[nodiscard]] Result<void> checkHostName(
    x509_st* leaf, std::string_view host,
    AddressMatching addresses = AddressMatching::dns_names_only);

// Whether `issuer` issued `certificate`, at wall-clock second `now`: exact
// issuer name (CertificateIssuerMismatch), validity with both limits
// inclusive (CertificateNotYetValid, CertificateExpired), and the signature
// under an accepted algorithm: RSA PKCS#1 v1.5 with SHA-1/224/256/384/512 and
// a 1024, 2048, 3072 or 4096-bit RSA key; ECDSA with SHA-224/256/384/512 on
// P-256 or P-384 (other curves: CertificateSignatureNamedCurveUnsupported);
// Ed25519. Anything else is CertificateSignatureAlgorithmUnsupported, a key
// of the wrong type CertificateSignatureAlgorithmMismatch, an RSA key of
// another size CertificatePublicKeyInvalid, a bad signature
// CertificateSignatureInvalid.
[[nodiscard]] Result<void> checkIssuedBy(x509_st* certificate, x509_st* issuer, std::int64_t now);

// The constraints a path from the leaf (path.front()) through the
// intermediates to the trust-store `anchor` must honour, once every link's
// signature has checked out: no certificate with an undecodable extension
// (CertificateExtensionInvalid) or an unknown critical one
// (CertificateCriticalExtensionUnknown); a leaf extendedKeyUsage, when
// present, allows serverAuth or any purpose (CertificatePurposeInvalid); each
// signer is a CA (CertificateNotCa; a version 1 self-signed anchor passes)
// whose keyUsage, when present, holds keyCertSign
// (CertificateKeyUsageInvalid), whose pathLenConstraint covers the CAs below
// it (CertificatePathLengthExceeded), and whose nameConstraints admit the
// names below it (CertificateNameConstraintViolated).
[[nodiscard]] Result<void> checkPathConstraints(std::span<x509_st* const> path, x509_st* anchor);

// The whole server verification over `chain` in the order sent (leaf first):
// the leaf's host name and key size; a leaf the store holds byte for byte is
// trusted as itself once it is valid at `now`, fit for a server and free of
// bad extensions, whatever its CA flag; otherwise for each certificate in turn the
// link to the one before it and a trust-store lookup by its issuer name; a
// store hit whose link and path constraints check out trusts the server, one
// that does not fails.
// TlsCertificateNotVerified when the list ends without reaching the store.
[[nodiscard]] Result<void> verifyServerChain(
    std::span<x509_st* const> chain, const TrustStore& store, std::string_view host,
    std::int64_t now, AddressMatching addresses = AddressMatching::dns_names_only);

}  // namespace qs
