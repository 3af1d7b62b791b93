// Public keys and detached signatures as the real tools write them:
// signify-openbsd and the openssl command make every key and signature at
// test time; damaged variants are cut from those files.
#include "tls/signature.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <openssl/evp.h>

#include "support/signing.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

using test::makeSigningKey;
using test::readFile;
using test::runTool;
using test::signFile;
using test::SigningKey;
using test::SigningKind;
using test::TempDir;
using test::writeFile;

std::string base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string unbase64(std::string_view text) {
    std::string out(3 * text.size() / 4 + 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    out.resize(static_cast<std::size_t>(n));
    while (text.ends_with('=')) {
        out.pop_back();
        text.remove_suffix(1);
    }
    return out;
}

// A signify file's two lines, with the second line's bytes changed by `edit`.
std::string editSignifyFile(const std::string& file, void (*edit)(std::string&)) {
    const std::size_t first_end = file.find('\n');
    const std::size_t second_end = file.find('\n', first_end + 1);
    std::string bytes = unbase64(file.substr(first_end + 1, second_end - first_end - 1));
    edit(bytes);
    return file.substr(0, first_end + 1) + base64(bytes) + "\n";
}

Result<PublicKey> loadKey(const SigningKey& key) { return parsePublicKey(readFile(key.public_path)); }

struct Kind {
    std::string_view name;
    SigningKind kind;
    KeyAlgorithm algorithm;
    // What another key's signature gives: signify ties signatures to their
    // key by number, the PEM formats have only the signature to go on.
    Error other_key_error;
};

constexpr Kind kKinds[] = {
    {"signify", SigningKind::signify, KeyAlgorithm::signify_ed25519,
     Error::SignatureKeyNumberMismatch},
    {"ed25519", SigningKind::ed25519, KeyAlgorithm::ed25519, Error::SignatureMismatch},
    {"p256", SigningKind::p256, KeyAlgorithm::ecdsa_p256, Error::SignatureMismatch},
    {"p384", SigningKind::p384, KeyAlgorithm::ecdsa_p384, Error::SignatureMismatch},
    {"rsa2048", SigningKind::rsa2048, KeyAlgorithm::rsa, Error::SignatureMismatch},
};

class SignatureKinds : public ::testing::TestWithParam<Kind> {};

// One key of each kind: its own signature verifies over the payload as
// signed and over nothing else; another key's signature is refused.
TEST_P(SignatureKinds, VerifiesOnlyTheSignedPayloadWithItsOwnKey) {
    const Kind& kind = GetParam();
    TempDir dir;
    const SigningKey key = makeSigningKey(dir.str(), "key", kind.kind);
    const SigningKey other = makeSigningKey(dir.str(), "other", kind.kind);
    std::string payload(100000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
    writeFile(dir / "payload", payload);
    const std::string signature = signFile(key, dir / "payload");
    writeFile(dir / "other-payload", payload);
    const std::string other_signature = signFile(other, dir / "other-payload");

    auto parsed = loadKey(key);
    ASSERT_TRUE(parsed) << errorName(parsed.error());
    EXPECT_EQ(parsed->algorithm(), kind.algorithm);

    EXPECT_TRUE(verifySignature(*parsed, signature, payload));

    std::string flipped = payload;
    flipped[flipped.size() / 2] ^= 0x01;
    const auto flipped_result = verifySignature(*parsed, signature, flipped);
    ASSERT_FALSE(flipped_result);
    EXPECT_EQ(flipped_result.error(), Error::SignatureMismatch);

    const auto shortened = verifySignature(*parsed, signature, std::string_view(payload).substr(1));
    ASSERT_FALSE(shortened);
    EXPECT_EQ(shortened.error(), Error::SignatureMismatch);

    const auto foreign = verifySignature(*parsed, other_signature, payload);
    ASSERT_FALSE(foreign);
    EXPECT_EQ(foreign.error(), kind.other_key_error);

    // Every kind gives the same verdicts fed in pieces (Ed25519 through
    // the SHA-512 its equation takes), the digest-based kinds also over the
    // SHA-256 of the message alone.
    const std::string shortened_payload = payload.substr(1);
    const std::string* const messages[] = {&payload, &flipped, &shortened_payload};
    for (const std::string* message : messages) {
        auto stream = SignatureStream::begin(*parsed, signature);
        ASSERT_TRUE(stream) << errorName(stream.error());
        for (std::size_t at = 0; at < message->size(); at += 4093)
            ASSERT_TRUE(stream->update(std::string_view(*message).substr(at, 4093)));
        const auto verdict = stream->finish();
        EXPECT_EQ(verdict.has_value(), message == &payload);
        if (!verdict) {
            EXPECT_EQ(verdict.error(), Error::SignatureMismatch);
        }
    }
    if (auto stream = SignatureStream::begin(*parsed, other_signature); stream) {
        ASSERT_TRUE(stream->update(payload));
        const auto verdict = stream->finish();
        ASSERT_FALSE(verdict);
        EXPECT_EQ(verdict.error(), Error::SignatureMismatch);
    } else {
        EXPECT_EQ(stream.error(), kind.other_key_error);
    }
    const auto digest = digestOf(DigestAlgorithm::sha256, payload);
    const auto flipped_digest = digestOf(DigestAlgorithm::sha256, flipped);
    ASSERT_TRUE(digest && flipped_digest);
    if (!verifiesIncrementally(*parsed)) {
        const auto by_digest = verifySignedDigest(*parsed, signature, *digest);
        ASSERT_FALSE(by_digest);
        EXPECT_EQ(by_digest.error(), Error::KeyAlgorithmUnsupported);
        return;
    }
    EXPECT_TRUE(verifySignedDigest(*parsed, signature, *digest));
    const auto flipped_by_digest = verifySignedDigest(*parsed, signature, *flipped_digest);
    ASSERT_FALSE(flipped_by_digest);
    EXPECT_EQ(flipped_by_digest.error(), Error::SignatureMismatch);
    const auto foreign_by_digest = verifySignedDigest(*parsed, other_signature, *digest);
    ASSERT_FALSE(foreign_by_digest);
    EXPECT_EQ(foreign_by_digest.error(), kind.other_key_error);
    // A signature of the wrong shape is refused before any arithmetic.
    const auto empty = verifySignedDigest(*parsed, "", *digest);
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error(), Error::SignatureMalformed);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SignatureKinds, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& row) { return std::string(row.param.name); });

// A signify signature that claims the right key number but was made by
// another key is still refused: the number only routes, the signature
// decides.
TEST(Signify, ForgedKeyNumberDoesNotMakeASignatureValid) {
    TempDir dir;
    const SigningKey key = makeSigningKey(dir.str(), "key", SigningKind::signify);
    const SigningKey other = makeSigningKey(dir.str(), "other", SigningKind::signify);
    writeFile(dir / "payload", "payload bytes\n");
    const std::string signature = signFile(other, dir / "payload");
    const std::string public_bytes = unbase64(readFile(key.public_path).substr(
        readFile(key.public_path).find('\n') + 1, 56));
    static std::string key_number;
    key_number = public_bytes.substr(2, 8);
    const std::string forged =
        editSignifyFile(signature, [](std::string& bytes) { bytes.replace(2, 8, key_number); });
    auto parsed = loadKey(key);
    ASSERT_TRUE(parsed);
    const auto result = verifySignature(*parsed, forged, "payload bytes\n");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), Error::SignatureMismatch);
}

// The streamed Ed25519 check solves the equation itself; damaged halves of
// a real signify signature, the malleable S + L among them, get the one-shot
// check's verdict from it.
TEST(Signify, StreamedCheckRefusesWhatTheOneShotCheckRefuses) {
    TempDir dir;
    const SigningKey key = makeSigningKey(dir.str(), "key", SigningKind::signify);
    std::string payload(300000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 13 + i / 509);
    writeFile(dir / "payload", payload);
    const std::string signature = signFile(key, dir / "payload");
    auto parsed = loadKey(key);
    ASSERT_TRUE(parsed);

    // The signature's bytes: "Ed", the key number, R (32), S (32).
    constexpr std::size_t r_at = 10;
    constexpr std::size_t s_at = 42;
    struct Edit {
        std::string_view name;
        void (*edit)(std::string&);
    };
    const Edit edits[] = {
        {"as signed", [](std::string&) {}},
        {"S plus the group order",
         [](std::string& bytes) {
             static constexpr unsigned char order[32] = {
                 0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                 0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                 0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
             unsigned carry = 0;
             for (std::size_t i = 0; i < 32; ++i) {
                 const unsigned sum = static_cast<unsigned char>(bytes[s_at + i]) + order[i] + carry;
                 bytes[s_at + i] = static_cast<char>(sum & 0xff);
                 carry = sum >> 8;
             }
         }},
        {"S zero", [](std::string& bytes) { bytes.replace(s_at, 32, 32, '\0'); }},
        {"S changed", [](std::string& bytes) { bytes[s_at + 5] ^= 0x10; }},
        {"R changed", [](std::string& bytes) { bytes[r_at + 3] ^= 0x01; }},
        {"R with the other sign", [](std::string& bytes) { bytes[r_at + 31] ^= static_cast<char>(0x80); }},
    };
    for (const Edit& edit : edits) {
        SCOPED_TRACE(edit.name);
        const std::string edited = editSignifyFile(signature, edit.edit);
        const bool one_shot = verifySignature(*parsed, edited, payload).has_value();
        EXPECT_EQ(one_shot, edit.name == "as signed");
        auto stream = SignatureStream::begin(*parsed, edited);
        ASSERT_TRUE(stream) << errorName(stream.error());
        for (std::size_t at = 0; at < payload.size(); at += 65536)
            ASSERT_TRUE(stream->update(std::string_view(payload).substr(at, 65536)));
        EXPECT_EQ(stream->finish().has_value(), one_shot);
    }
}

// Key files that are not a usable public key: each is refused with the
// name of what is wrong, never crashes.
TEST(PublicKeyFile, MalformedFilesAreRefusedByName) {
    TempDir dir;
    const SigningKey signify = makeSigningKey(dir.str(), "signify", SigningKind::signify);
    const SigningKey ed25519 = makeSigningKey(dir.str(), "ed25519", SigningKind::ed25519);
    const SigningKey rsa1024 = makeSigningKey(dir.str(), "rsa1024", SigningKind::rsa1024);
    runTool({"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-521",
             "-out", dir / "p521.sec"});
    runTool({"openssl", "pkey", "-in", dir / "p521.sec", "-pubout", "-out", dir / "p521.pub"});
    runTool({"openssl", "req", "-x509", "-new", "-key", ed25519.secret_path, "-subj", "/CN=signer",
             "-days", "1", "-out", dir / "certificate.pem"});
    runTool({"openssl", "genpkey", "-algorithm", "ed448", "-out", dir / "ed448.sec"});
    runTool({"openssl", "pkey", "-in", dir / "ed448.sec", "-pubout", "-out", dir / "ed448.pub"});

    const std::string signify_text = readFile(signify.public_path);
    const std::string pem_text = readFile(ed25519.public_path);
    const std::size_t pem_body = pem_text.find('\n') + 1;

    struct Case {
        std::string name;
        std::string text;
        Error expected;
    };
    const std::vector<Case> cases = {
        {"empty", "", Error::KeyFormatUnknown},
        {"plain text", "just some words\n", Error::KeyFormatUnknown},
        {"signify bad base64 character",
         std::string(signify_text).replace(signify_text.find('\n') + 5, 1, "*"),
         Error::InvalidCharacter},
        {"signify key cut short",
         editSignifyFile(signify_text, [](std::string& b) { b.resize(b.size() - 3); }),
         Error::KeyMalformed},
        {"signify key one byte long",
         editSignifyFile(signify_text, [](std::string& b) { b.push_back('\0'); }),
         Error::KeyMalformed},
        {"signify other algorithm",
         editSignifyFile(signify_text, [](std::string& b) { b.replace(0, 2, "XX"); }),
         Error::KeyAlgorithmUnsupported},
        {"signify comment line only", signify_text.substr(0, signify_text.find('\n') + 1),
         Error::KeyMalformed},
        {"signify secret key", readFile(signify.secret_path), Error::KeyIsPrivate},
        {"signify key with a message after it", signify_text + "more\n", Error::KeyMalformed},
        {"PEM private key", readFile(ed25519.secret_path), Error::KeyIsPrivate},
        {"PEM private and public key", readFile(ed25519.secret_path) + pem_text,
         Error::KeyIsPrivate},
        {"certificate", readFile(dir / "certificate.pem"), Error::KeyIsCertificate},
        {"RSA 1024", readFile(rsa1024.public_path), Error::KeyTooSmall},
        {"ECDSA P-521", readFile(dir / "p521.pub"), Error::KeyAlgorithmUnsupported},
        {"Ed448", readFile(dir / "ed448.pub"), Error::KeyAlgorithmUnsupported},
        {"PEM without end", pem_text.substr(0, pem_text.find("-----END")), Error::KeyMalformed},
        {"PEM bad base64", std::string(pem_text).replace(pem_body + 3, 1, "!"),
         Error::InvalidCharacter},
        {"PEM DER cut short",
         "-----BEGIN PUBLIC KEY-----\n" +
             base64(unbase64(pem_text.substr(pem_body, pem_text.find("-----END") - pem_body - 1))
                        .substr(0, 30)) +
             "\n-----END PUBLIC KEY-----\n",
         Error::KeyMalformed},
        {"PEM DER with trailing bytes",
         "-----BEGIN PUBLIC KEY-----\n" +
             base64(unbase64(pem_text.substr(pem_body, pem_text.find("-----END") - pem_body - 1)) +
                    "xyz") +
             "\n-----END PUBLIC KEY-----\n",
         Error::KeyMalformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto parsed = parsePublicKey(c.text);
        ASSERT_FALSE(parsed);
        EXPECT_EQ(errorName(parsed.error()), errorName(c.expected));
    }
}

// Signature files of the wrong shape for their key.
TEST(SignatureFile, MalformedFilesAreRefusedByName) {
    TempDir dir;
    const std::string payload = "the payload\n";
    writeFile(dir / "payload", payload);
    const SigningKey signify = makeSigningKey(dir.str(), "signify", SigningKind::signify);
    const SigningKey ed25519 = makeSigningKey(dir.str(), "ed25519", SigningKind::ed25519);
    const SigningKey p256 = makeSigningKey(dir.str(), "p256", SigningKind::p256);
    const SigningKey rsa = makeSigningKey(dir.str(), "rsa", SigningKind::rsa2048);
    const std::string signify_sig = signFile(signify, dir / "payload");
    const std::string ed25519_sig = signFile(ed25519, dir / "payload");
    const std::string p256_sig = signFile(p256, dir / "payload");
    const std::string rsa_sig = signFile(rsa, dir / "payload");

    struct Case {
        std::string name;
        const SigningKey* key;
        std::string signature;
        Error expected;
    };
    const std::vector<Case> cases = {
        {"signify empty", &signify, "", Error::SignatureMalformed},
        {"signify no comment", &signify, signify_sig.substr(signify_sig.find('\n') + 1),
         Error::SignatureMalformed},
        {"signify bad base64", &signify,
         std::string(signify_sig).replace(signify_sig.find('\n') + 7, 1, "#"),
         Error::InvalidCharacter},
        {"signify truncated", &signify, signify_sig.substr(0, signify_sig.size() - 9),
         Error::SignatureMalformed},
        {"signify short signature", &signify,
         editSignifyFile(signify_sig, [](std::string& b) { b.resize(b.size() - 1); }),
         Error::SignatureMalformed},
        {"signify other algorithm", &signify,
         editSignifyFile(signify_sig, [](std::string& b) { b.replace(0, 2, "BK"); }),
         Error::SignatureMalformed},
        {"signify embedded message", &signify, signify_sig + payload, Error::SignatureMalformed},
        {"signify file for a PEM key", &ed25519, signify_sig, Error::SignatureMalformed},
        {"Ed25519 truncated", &ed25519, ed25519_sig.substr(0, 63), Error::SignatureMalformed},
        {"Ed25519 one byte long", &ed25519, ed25519_sig + "x", Error::SignatureMalformed},
        {"ECDSA empty", &p256, "", Error::SignatureMalformed},
        {"ECDSA truncated", &p256, p256_sig.substr(0, p256_sig.size() - 4),
         Error::SignatureMismatch},
        {"ECDSA not DER", &p256, std::string(p256_sig.size(), 'A'), Error::SignatureMismatch},
        {"RSA truncated", &rsa, rsa_sig.substr(0, rsa_sig.size() - 1), Error::SignatureMalformed},
        {"RSA as base64 text", &rsa, base64(rsa_sig), Error::SignatureMalformed},
        {"PEM signature for a signify key", &signify, p256_sig, Error::SignatureMalformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto key = loadKey(*c.key);
        ASSERT_TRUE(key);
        const auto result = verifySignature(*key, c.signature, payload);
        ASSERT_FALSE(result);
        EXPECT_EQ(errorName(result.error()), errorName(c.expected));
    }
}

}  // namespace
}  // namespace qs
