// What a certificate that signs another must be (a CA, allowed to sign, within
// its path length and name constraints), what a leaf must allow (a TLS
// server), and that nobody may hide an unknown critical extension: chains
// built at test time, checked on their own and through a real handshake.
#include "tls/certificate_check.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/fd.hpp"
#include "tls/tls_stream.hpp"
#include "tls/trust_store.hpp"
#include "support/certificates.hpp"
#include "support/tls_server.hpp"

namespace qs {
namespace {

using test::Certificate;
using test::CertificateRecipe;
using test::KeyKind;
using test::makeCertificate;
using test::nowSeconds;

// An OID under the documentation arc: no library knows it.
constexpr const char* kUnknownExtension = "1.3.6.1.4.1.32473.1";

Certificate caUnder(const Certificate* issuer, std::string name, CertificateRecipe recipe = {}) {
    recipe.common_name = std::move(name);
    recipe.ca = true;
    recipe.key = KeyKind::p256;
    if (recipe.key_variant == 0) recipe.key_variant = 11;
    return makeCertificate(recipe, issuer);
}

Certificate leafUnder(const Certificate& issuer, std::vector<std::string> dns_names,
                      CertificateRecipe recipe = {}) {
    recipe.common_name = "leaf";
    recipe.dns_names = std::move(dns_names);
    return makeCertificate(recipe, &issuer);
}

// The certificate a domain owner can buy: no CA, meant for one TLS server.
CertificateRecipe ordinaryLeaf() {
    return {.extensions = {{"keyUsage", "critical,digitalSignature"},
                           {"extendedKeyUsage", "serverAuth"}}};
}

struct Pki {
    Certificate root = makeCertificate({.common_name = "Chain Root", .key = KeyKind::rsa2048, .ca = true});
    // Bought for evil.test, then used as if it were a CA.
    Certificate evil = leafUnder(root, {"evil.test"}, ordinaryLeaf());
    Certificate forged = makeCertificate({.common_name = "a.h.test", .dns_names = {"a.h.test"}}, &evil);
};

const Pki& pki() {
    static const Pki instance;
    return instance;
}

std::unique_ptr<TrustStore> storeWith(const Certificate& anchor) {
    auto store = std::make_unique<TrustStore>();
    EXPECT_TRUE(addPemCertificates(*store, anchor.pem(), nowSeconds()));
    return store;
}

TEST(CertificateChain, SignersMustBeCasAllowedToSignWithinTheirLimits) {
    const Pki& p = pki();
    const Certificate& root = p.root;
    const Certificate no_constraints = caUnder(&root, "No Constraints", {.basic_constraints = false});
    const Certificate not_ca = makeCertificate(
        {.common_name = "Not CA", .key = KeyKind::p256, .key_variant = 12}, &root);
    const Certificate no_cert_sign = caUnder(
        &root, "No CertSign", {.extensions = {{"keyUsage", "critical,digitalSignature,cRLSign"}}});
    const Certificate cert_sign = caUnder(
        &root, "CertSign", {.extensions = {{"keyUsage", "critical,keyCertSign,cRLSign"}}});
    const Certificate length_zero = caUnder(&root, "Length Zero", {.path_length = 0});
    const Certificate below_length_zero = caUnder(&length_zero, "Below Length Zero");
    const Certificate length_one = caUnder(&root, "Length One", {.path_length = 1});
    const Certificate below_length_one = caUnder(&length_one, "Below Length One");
    const Certificate anchor_length_zero = makeCertificate(
        {.common_name = "Anchor Length Zero", .key = KeyKind::p384, .ca = true, .path_length = 0});
    const Certificate below_anchor_length_zero = caUnder(&anchor_length_zero, "Below Anchor");
    const Certificate constrained = caUnder(
        &root, "Constrained", {.extensions = {{"nameConstraints", "critical,permitted;DNS:good.test"}}});
    const Certificate excluding = caUnder(
        &root, "Excluding", {.extensions = {{"nameConstraints", "critical,excluded;DNS:h.test"}}});
    const Certificate below_constrained = caUnder(&constrained, "Below Constrained");
    const Certificate critical_unknown = caUnder(
        &root, "Critical Unknown", {.extensions = {{kUnknownExtension, "critical,DER:05:00"}}});
    const Certificate v1_root = makeCertificate(
        {.common_name = "Version 1 Root", .key = KeyKind::rsa2048, .key_variant = 1, .version1 = true});
    const Certificate v1_intermediate = makeCertificate(
        {.common_name = "Version 1 Intermediate", .key = KeyKind::p256, .key_variant = 13,
         .version1 = true},
        &root);

    const auto leaf = [](const Certificate& issuer, CertificateRecipe recipe = {}) {
        return leafUnder(issuer, {"a.h.test"}, std::move(recipe));
    };
    const auto rooted = storeWith(root);

    struct Case {
        const char* name;
        std::vector<Certificate> chain;
        std::optional<Certificate> anchor;  // none: the shared root
        std::optional<Error> expected;
    };
    const std::vector<Case> cases = {
        {"ordinary leaf of the root", {leaf(root, ordinaryLeaf())}, {}, std::nullopt},
        {"forged: a leaf signs a leaf", {p.forged, p.evil}, {}, Error::CertificateNotCa},
        {"the forged leaf alone, its signer in the store",
         {p.forged},
         p.evil,
         Error::CertificateNotCa},
        {"intermediate without basicConstraints",
         {leaf(no_constraints), no_constraints},
         {},
         Error::CertificateNotCa},
        {"intermediate with CA:FALSE", {leaf(not_ca), not_ca}, {}, Error::CertificateNotCa},
        {"intermediate keyUsage without keyCertSign",
         {leaf(no_cert_sign), no_cert_sign},
         {},
         Error::CertificateKeyUsageInvalid},
        {"intermediate keyUsage with keyCertSign", {leaf(cert_sign), cert_sign}, {}, std::nullopt},
        {"path length 0 right above the leaf", {leaf(length_zero), length_zero}, {}, std::nullopt},
        {"path length 0 with a CA below",
         {leaf(below_length_zero), below_length_zero, length_zero},
         {},
         Error::CertificatePathLengthExceeded},
        {"path length 1 with a CA below",
         {leaf(below_length_one), below_length_one, length_one},
         {},
         std::nullopt},
        {"anchor's path length 0 with a CA below",
         {leaf(below_anchor_length_zero), below_anchor_length_zero},
         anchor_length_zero,
         Error::CertificatePathLengthExceeded},
        {"leaf extendedKeyUsage clientAuth only",
         {leaf(root, {.extensions = {{"extendedKeyUsage", "clientAuth"}}})},
         {},
         Error::CertificatePurposeInvalid},
        {"leaf extendedKeyUsage with serverAuth",
         {leaf(root, {.extensions = {{"extendedKeyUsage", "clientAuth,serverAuth"}}})},
         {},
         std::nullopt},
        {"leaf extendedKeyUsage any purpose",
         {leaf(root, {.extensions = {{"extendedKeyUsage", "anyExtendedKeyUsage"}}})},
         {},
         std::nullopt},
        {"name-constrained intermediate issuing outside",
         {leaf(constrained), constrained},
         {},
         Error::CertificateNameConstraintViolated},
        {"name-constrained intermediate, commonName-only leaf outside",
         {makeCertificate({.common_name = "a.h.test"}, &constrained), constrained},
         {},
         Error::CertificateNameConstraintViolated},
        {"name constraint binds a CA further down",
         {leaf(below_constrained), below_constrained, constrained},
         {},
         Error::CertificateNameConstraintViolated},
        {"excluded subtree", {leaf(excluding), excluding}, {}, Error::CertificateNameConstraintViolated},
        {"unknown critical extension in the leaf",
         {leaf(root, {.extensions = {{kUnknownExtension, "critical,DER:05:00"}}})},
         {},
         Error::CertificateCriticalExtensionUnknown},
        {"unknown critical extension in an intermediate",
         {leaf(critical_unknown), critical_unknown},
         {},
         Error::CertificateCriticalExtensionUnknown},
        {"unknown extension, not critical",
         {leaf(root, {.extensions = {{kUnknownExtension, "DER:05:00"}}})},
         {},
         std::nullopt},
        {"version 1 root in the store", {leaf(v1_root)}, v1_root, std::nullopt},
        {"version 1 intermediate", {leaf(v1_intermediate), v1_intermediate}, {}, Error::CertificateNotCa},
    };
    for (const Case& c : cases) {
        const auto own = c.anchor ? storeWith(*c.anchor) : nullptr;
        std::vector<x509_st*> chain;
        for (const Certificate& certificate : c.chain) chain.push_back(certificate.get());
        const auto verified =
            verifyServerChain(chain, own ? *own : *rooted, "a.h.test", nowSeconds());
        if (c.expected) {
            ASSERT_FALSE(verified) << c.name;
            EXPECT_EQ(verified.error(), *c.expected) << c.name << ": " << errorName(verified.error());
        } else {
            EXPECT_TRUE(verified) << c.name << ": " << errorName(verified.error());
        }
    }
}

TEST(CertificateChain, NameConstraintsAdmitNamesInside) {
    const Pki& p = pki();
    const Certificate constrained = caUnder(
        &p.root, "Constrained Inside",
        {.key_variant = 14, .extensions = {{"nameConstraints", "critical,permitted;DNS:good.test"}}});
    const Certificate leaf = leafUnder(constrained, {"a.good.test"});
    const auto store = storeWith(p.root);
    std::vector<x509_st*> chain = {leaf.get(), constrained.get()};
    const auto verified = verifyServerChain(chain, *store, "a.good.test", nowSeconds());
    EXPECT_TRUE(verified) << errorName(verified.error());
}

TEST(CertificateChain, WildcardOverATopLevelDomainNeverMatches) {
    struct Case {
        std::string_view candidate;
        std::string_view host;
        bool matches;
    };
    const Case cases[] = {
        {"*.com", "example.com", false},
        {"*.test", "a.test", false},
        {"*.", "a.", false},
        {"*.example.com", "www.example.com", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hostNameMatches(c.candidate, c.host), c.matches) << c.candidate << " vs " << c.host;

    const Certificate everything = leafUnder(pki().root, {"*.com"});
    const auto checked = checkHostName(everything.get(), "example.com");
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error(), Error::CertificateHostMismatch);
}

// The forged chain served by a real TLS server: the handshake fails as every
// other certificate failure does, and the inner reason says why.
TEST(CertificateChain, HandshakeRefusesAServerWithAForgedChain) {
    const Pki& p = pki();
    const auto store = storeWith(p.root);
    struct Case {
        const char* name;
        std::vector<Certificate> chain;
        std::optional<Error> reason;
    };
    const Case cases[] = {
        {"forged", {p.forged, p.evil}, Error::CertificateNotCa},
        {"clientAuth-only leaf",
         {leafUnder(p.root, {"a.h.test"}, {.extensions = {{"extendedKeyUsage", "clientAuth"}}})},
         Error::CertificatePurposeInvalid},
        {"genuine", {leafUnder(p.root, {"a.h.test"}, ordinaryLeaf())}, std::nullopt},
    };
    for (const Case& c : cases) {
        test::TlsServerOptions options;
        options.chain = c.chain;
        options.response = "payload";
        test::TlsTestServer server(std::move(options));
        platform::Fd socket = test::connectLoopback(server.port());
        Error reason = Error::Unexpected;
        auto stream = TlsStream::handshake(socket.get(), "a.h.test", *store, reason);
        if (c.reason) {
            ASSERT_FALSE(stream) << c.name;
            EXPECT_EQ(stream.error(), Error::TlsInitializationFailed) << c.name;
            EXPECT_EQ(reason, *c.reason) << c.name << ": " << errorName(reason);
            socket.reset();
        } else {
            ASSERT_TRUE(stream) << c.name << ": " << errorName(reason);
        }
        server.join();
        EXPECT_EQ(server.handshakeSucceeded(), !c.reason) << c.name;
    }
}

}  // namespace
}  // namespace qs
