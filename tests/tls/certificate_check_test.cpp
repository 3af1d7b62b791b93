// The certificate checks on their own, with exact clock readings: host
// names, one certificate against its issuer, and the chain as sent.
#include "tls/certificate_check.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tls/trust_store.hpp"
#include "support/certificates.hpp"

namespace qs {
namespace {

using test::Certificate;
using test::CertificateRecipe;
using test::KeyKind;
using test::leafFor;
using test::makeCertificate;
using test::nowSeconds;
using test::Pki;
using test::pki;
using test::trust;

// ----- host names ----------------------------------------------------------

TEST(TlsHostName, CandidatesMatchTheServerNameByTheWildcardRule) {
    struct Case {
        std::string_view candidate;
        std::string_view host;
        bool matches;
    };
    const Case cases[] = {
        {"example.test", "example.test", true},
        {"EXAMPLE.test", "example.TEST", true},  // ASCII case folded
        {"*.h.test", "a.h.test", true},
        {"*.H.TEST", "a.h.test", true},
        {"*.h.test", "b.a.h.test", false},  // one label only
        {"*.h.test", "h.test", false},
        {"*.h.test", "htest", false},
        {"a*.h.test", "ab.h.test", false},  // only a whole leading label
        {"*.*.test", "a.b.test", false},    // no second star
        {"*", "localhost", false},
        {"", "", false},
        {"", "example.test", false},
        {"example.test", "", false},
        {"example.test.", "example.test", false},   // bytes, not normalised
        {"\xC3\x84.test", "\xC3\xA4.test", false},  // no folding beyond ASCII
    };
    for (const Case& c : cases)
        EXPECT_EQ(hostNameMatches(c.candidate, c.host), c.matches)
            << c.candidate << " vs " << c.host;
}

TEST(TlsHostName, SubjectAltNameDecidesAndCommonNameIsTheFallback) {
    struct Case {
        const char* name;
        CertificateRecipe recipe;
        std::string_view host;
        bool matches;
    };
    const Case cases[] = {
        {"dns entry", {.common_name = "other", .dns_names = {"x.test", "a.test"}}, "a.test", true},
        {"wildcard entry", {.dns_names = {"*.h.test"}}, "a.h.test", true},
        {"commonName ignored beside SAN",
         {.common_name = "a.test", .dns_names = {"x.test"}},
         "a.test",
         false},
        {"IP-only SAN shadows commonName",
         {.common_name = "127.0.0.1", .ip_addresses = {"127.0.0.1"}},
         "127.0.0.1",
         false},
        {"commonName without SAN", {.common_name = "a.test"}, "A.TEST", true},
        {"wildcard commonName", {.common_name = "*.h.test"}, "a.h.test", true},
        {"no name at all", {.organization = "nobody"}, "a.test", false},
    };
    for (const Case& c : cases) {
        const Certificate certificate = makeCertificate(c.recipe);
        const auto checked = checkHostName(certificate.get(), c.host);
        EXPECT_EQ(checked.has_value(), c.matches) << c.name;
        if (!checked) {
            EXPECT_EQ(checked.error(), Error::CertificateHostMismatch) << c.name;
        }
    }
}

// With addresses matched too, an address name is looked up among the
// iPAddress entries byte for byte; DNS names keep their rules.
TEST(TlsHostName, AddressEntriesMatchOnlyWhenAsked) {
    const Certificate address_only = makeCertificate(
        {.ip_addresses = {"192.0.2.7", "2001:db8::1"}});
    const Certificate both = makeCertificate(
        {.dns_names = {"a.test"}, .ip_addresses = {"127.0.0.1"}});
    struct Case {
        const Certificate* certificate;
        std::string_view host;
        AddressMatching addresses;
        bool matches;
    };
    const Case cases[] = {
        {&address_only, "192.0.2.7", AddressMatching::addresses_too, true},
        {&address_only, "192.0.2.7", AddressMatching::dns_names_only, false},
        {&address_only, "192.0.2.8", AddressMatching::addresses_too, false},
        {&address_only, "[2001:db8::1]", AddressMatching::addresses_too, true},
        {&address_only, "2001:0db8:0:0::1", AddressMatching::addresses_too, true},
        {&address_only, "::ffff:192.0.2.7", AddressMatching::addresses_too, false},
        {&address_only, "a.test", AddressMatching::addresses_too, false},
        {&both, "a.test", AddressMatching::addresses_too, true},
        {&both, "127.0.0.1", AddressMatching::addresses_too, true},
        {&both, "127.0.0.01", AddressMatching::addresses_too, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(checkHostName(c.certificate->get(), c.host, c.addresses).has_value(), c.matches)
            << c.host;
    }
}

// ----- one certificate against its issuer -----------------------------------

TEST(TlsCertificateCheck, ValidityLimitsAreInclusiveWholeSeconds) {
    const std::int64_t t = 1'900'000'000;
    const Certificate leaf = makeCertificate(
        {.common_name = "leaf", .not_before = t, .not_after = t + 100}, &pki().root);
    struct Case {
        std::int64_t now;
        std::optional<Error> expected;
    };
    const Case cases[] = {
        {t - 1, Error::CertificateNotYetValid},
        {t, std::nullopt},
        {t + 100, std::nullopt},  // the notAfter second itself is still good
        {t + 101, Error::CertificateExpired},
    };
    for (const Case& c : cases) {
        const auto checked = checkIssuedBy(leaf.get(), pki().root.get(), c.now);
        if (c.expected) {
            ASSERT_FALSE(checked) << c.now;
            EXPECT_EQ(checked.error(), *c.expected) << c.now;
        } else {
            EXPECT_TRUE(checked) << c.now;
        }
    }
}

TEST(TlsCertificateCheck, SignatureAlgorithmsAndIssuerKeys) {
    const auto issuerWith = [](KeyKind key, int variant = 0) {
        return makeCertificate(
            {.common_name = "Issuer", .key = key, .key_variant = variant, .ca = true});
    };
    struct Case {
        const char* name;
        KeyKind issuer_key;
        test::Digest digest;
        std::optional<Error> expected;
    };
    const Case cases[] = {
        {"RSA 1024 SHA-256", KeyKind::rsa1024, test::Digest::sha256, std::nullopt},
        {"RSA 2048 SHA-1", KeyKind::rsa2048, test::Digest::sha1, std::nullopt},
        {"RSA 3072 SHA-384", KeyKind::rsa3072, test::Digest::sha384, std::nullopt},
        {"RSA 4096 SHA-256", KeyKind::rsa4096, test::Digest::sha256, std::nullopt},
        {"RSA 1536", KeyKind::rsa1536, test::Digest::sha256, Error::CertificatePublicKeyInvalid},
        {"RSA MD5", KeyKind::rsa2048, test::Digest::md5,
         Error::CertificateSignatureAlgorithmUnsupported},
        {"ECDSA P-256", KeyKind::p256, test::Digest::sha256, std::nullopt},
        {"ECDSA P-384", KeyKind::p384, test::Digest::sha384, std::nullopt},
        {"ECDSA P-521", KeyKind::p521, test::Digest::sha256,
         Error::CertificateSignatureNamedCurveUnsupported},
        {"Ed25519", KeyKind::ed25519, test::Digest::none, std::nullopt},
    };
    const std::int64_t now = nowSeconds();
    for (const Case& c : cases) {
        const Certificate issuer = issuerWith(c.issuer_key);
        const Certificate leaf =
            makeCertificate({.common_name = "leaf", .digest = c.digest}, &issuer);
        const auto checked = checkIssuedBy(leaf.get(), issuer.get(), now);
        if (c.expected) {
            ASSERT_FALSE(checked) << c.name;
            EXPECT_EQ(checked.error(), *c.expected) << c.name;
        } else {
            EXPECT_TRUE(checked) << c.name << ": " << errorName(checked.error());
        }
    }
}

TEST(TlsCertificateCheck, WrongIssuerKeyOrNameFails) {
    const std::int64_t now = nowSeconds();
    const Certificate ec_issuer =
        makeCertificate({.common_name = "Issuer", .key = KeyKind::p256, .ca = true});
    const Certificate leaf = makeCertificate({.common_name = "leaf"}, &ec_issuer);
    // Same name, other keys: the type decides before the signature is tried.
    const Certificate rsa_twin =
        makeCertificate({.common_name = "Issuer", .key = KeyKind::rsa2048, .ca = true});
    const Certificate ec_twin = makeCertificate(
        {.common_name = "Issuer", .key = KeyKind::p256, .key_variant = 7, .ca = true});
    const Certificate stranger =
        makeCertificate({.common_name = "Someone Else", .key = KeyKind::p256, .ca = true});

    EXPECT_EQ(checkIssuedBy(leaf.get(), rsa_twin.get(), now).error(),
              Error::CertificateSignatureAlgorithmMismatch);
    EXPECT_EQ(checkIssuedBy(leaf.get(), ec_twin.get(), now).error(),
              Error::CertificateSignatureInvalid);
    EXPECT_EQ(checkIssuedBy(leaf.get(), stranger.get(), now).error(),
              Error::CertificateIssuerMismatch);
    EXPECT_TRUE(checkIssuedBy(leaf.get(), ec_issuer.get(), now));
}

// ----- the chain as sent -----------------------------------------------------

TEST(TlsCertificateCheck, ChainIsWalkedInTheOrderSent) {
    const Pki& p = pki();
    const Certificate second_intermediate = makeCertificate(
        {.common_name = "Second Intermediate", .key = KeyKind::p256, .key_variant = 2, .ca = true},
        &p.intermediate);
    const Certificate leaf = leafFor({"a.test"});
    const Certificate deep_leaf = leafFor({"a.test"}, KeyKind::p256, &second_intermediate);
    const Certificate big_key_leaf = makeCertificate(
        {.dns_names = {"a.test"}, .raw_public_key = std::string(601, '\x5a')}, &p.intermediate);
    const Certificate largest_key_leaf = makeCertificate(
        {.dns_names = {"a.test"}, .raw_public_key = std::string(600, '\x5a')}, &p.intermediate);
    const Certificate expired_leaf = makeCertificate({.dns_names = {"a.test"},
                                                      .not_before = nowSeconds() - 7200,
                                                      .not_after = nowSeconds() - 3600},
                                                     &p.intermediate);

    // Server certificates trusted as themselves: self-signed without a CA
    // flag, one issued by a CA the store does not hold, and two that must
    // still fail (expired, or only a look-alike of the stored one).
    const Certificate pinned = makeCertificate({.common_name = "pinned", .dns_names = {"a.test"}});
    const Certificate pinned_twin =
        makeCertificate({.common_name = "pinned", .dns_names = {"a.test"}, .key_variant = 3, .serial = 2});
    const Certificate pinned_expired = makeCertificate({.common_name = "pinned old",
                                                        .dns_names = {"a.test"},
                                                        .not_before = nowSeconds() - 7200,
                                                        .not_after = nowSeconds() - 3600});
    TrustStore pins;
    trust(pins, pinned);
    trust(pins, leaf);
    TrustStore expired_pin;
    {
        // The store refuses expired certificates, so this one is added as if
        // it were read before it expired.
        ASSERT_TRUE(addPemCertificates(expired_pin, pinned_expired.pem(), nowSeconds() - 5400));
    }

    TrustStore rooted;
    trust(rooted, p.root);
    TrustStore intermediate_only;
    trust(intermediate_only, p.intermediate);
    TrustStore other_root;
    trust(other_root, p.ec_root);
    TrustStore empty;

    struct Case {
        const char* name;
        std::vector<const Certificate*> chain;
        const TrustStore* store;
        std::optional<Error> expected;
    };
    const Case cases[] = {
        {"leaf, intermediate", {&leaf, &p.intermediate}, &rooted, std::nullopt},
        {"root sent too", {&leaf, &p.intermediate, &p.root}, &rooted, std::nullopt},
        {"two intermediates in order",
         {&deep_leaf, &second_intermediate, &p.intermediate},
         &rooted,
         std::nullopt},
        {"intermediates reversed",
         {&deep_leaf, &p.intermediate, &second_intermediate},
         &rooted,
         Error::CertificateIssuerMismatch},
        {"leaf last", {&p.intermediate, &leaf}, &rooted, Error::CertificateHostMismatch},
        {"store holds the intermediate", {&leaf}, &intermediate_only, std::nullopt},
        {"intermediate missing", {&leaf}, &rooted, Error::TlsCertificateNotVerified},
        {"unknown root", {&leaf, &p.intermediate}, &other_root, Error::TlsCertificateNotVerified},
        {"empty store", {&leaf, &p.intermediate}, &empty, Error::TlsCertificateNotVerified},
        {"expired leaf", {&expired_leaf, &p.intermediate}, &rooted, Error::CertificateExpired},
        {"leaf key over 600 bytes",
         {&big_key_leaf, &p.intermediate},
         &rooted,
         Error::CertificatePublicKeyInvalid},
        {"leaf key of 600 bytes", {&largest_key_leaf, &p.intermediate}, &rooted, std::nullopt},
        {"nothing sent", {}, &rooted, Error::TlsCertificateNotVerified},
        {"self-signed leaf in the store", {&pinned}, &pins, std::nullopt},
        {"issued leaf in the store, issuer unknown", {&leaf, &p.intermediate}, &pins, std::nullopt},
        {"same names, other certificate", {&pinned_twin}, &pins, Error::CertificateSignatureInvalid},
        {"self-signed leaf not in the store", {&pinned}, &rooted, Error::TlsCertificateNotVerified},
        {"pinned leaf expired", {&pinned_expired}, &expired_pin, Error::CertificateExpired},
    };
    for (const Case& c : cases) {
        std::vector<x509_st*> chain;
        for (const Certificate* certificate : c.chain) chain.push_back(certificate->get());
        const auto verified = verifyServerChain(chain, *c.store, "a.test", nowSeconds());
        if (c.expected) {
            ASSERT_FALSE(verified) << c.name;
            EXPECT_EQ(verified.error(), *c.expected)
                << c.name << ": " << errorName(verified.error());
        } else {
            EXPECT_TRUE(verified) << c.name << ": " << errorName(verified.error());
        }
    }
}

}  // namespace
}  // namespace qs
