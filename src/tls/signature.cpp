#include "tls/signature.hpp"

#include <array>
#include <cstring>
#include <new>
#include <string>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <sodium.h>

#include "tls/openssl_init.hpp"
#include "tls/pem.hpp"
#include "util/base64.hpp"

namespace qs {

namespace {

// signify's binary layouts: a two-byte algorithm name, an eight-byte key
// number that ties signatures to their key, then the key or signature.
constexpr std::string_view kSignifyAlgorithm = "Ed";
constexpr std::size_t kSignifyKeyNumberSize = 8;
constexpr std::size_t kEd25519KeySize = 32;
constexpr std::size_t kEd25519SignatureSize = 64;
constexpr std::size_t kSignifyPublicKeySize =
    kSignifyAlgorithm.size() + kSignifyKeyNumberSize + kEd25519KeySize;
constexpr std::size_t kSignifySignatureSize =
    kSignifyAlgorithm.size() + kSignifyKeyNumberSize + kEd25519SignatureSize;
// A signify secret key: algorithm, KDF name, rounds, salt, checksum, key
// number and the 64-byte secret key. Recognised only to be refused.
constexpr std::size_t kSignifySecretKeySize = 2 + 2 + 4 + 16 + 8 + 8 + 64;
constexpr std::string_view kSignifyCommentPrefix = "untrusted comment: ";
// signify writes comments of at most 1024 bytes; its first line is no
// longer than that and its prefix.
constexpr std::size_t kMaxSignifyFirstLine = 1024 + kSignifyCommentPrefix.size();

constexpr std::string_view kPemPublicBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kPemPublicEnd = "-----END PUBLIC KEY-----";
constexpr std::string_view kPemPrivateMarker = "PRIVATE KEY-----";
constexpr std::string_view kPemCertificateBegin = "-----BEGIN CERTIFICATE-----";

// RSA below this is factorable with public effort; the usual floor.
constexpr std::uint32_t kMinRsaBits = 2048;

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct PkeyContextFree {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using PkeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyContextFree>;

struct MdContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using MdContextPtr = std::unique_ptr<EVP_MD_CTX, MdContextFree>;

constexpr bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimSpace(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

const unsigned char* bytesOf(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// The decoded second line of a signify file: the first line must be the
// comment, the second the base64, and nothing but white space may follow
// (a file with a message after it is signify's embedded form, which this
// agent does not take). `malformed` names the error of a wrong shape.
Result<void> decodeSignifyFile(std::string_view text, Error malformed, std::string& decoded) {
    if (!text.starts_with(kSignifyCommentPrefix)) return std::unexpected(malformed);
    const std::size_t first_end = text.find('\n');
    if (first_end == std::string_view::npos || first_end > kMaxSignifyFirstLine)
        return std::unexpected(malformed);
    std::string_view rest = text.substr(first_end + 1);
    const std::size_t second_end = rest.find('\n');
    std::string_view line = rest.substr(0, second_end);
    if (second_end != std::string_view::npos &&
        !trimSpace(rest.substr(second_end + 1)).empty()) {
        return std::unexpected(malformed);
    }
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) return std::unexpected(malformed);
    decoded.clear();
    return decodeBase64(line, decoded);
}

// The OpenSSL error queue holds the details of a refused key or signature;
// they are reported as one error name, so the queue is emptied for the next
// caller.
template <class T>
Result<T> failWith(Error error) {
    ERR_clear_error();
    return std::unexpected(error);
}

Result<PkeyPtr> ed25519Key(std::string_view raw) {
    PkeyPtr key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytesOf(raw), raw.size()));
    if (!key) return failWith<PkeyPtr>(Error::KeyMalformed);
    return key;
}

}  // namespace

struct PublicKey::State {
    PkeyPtr key;
    KeyAlgorithm algorithm = KeyAlgorithm::signify_ed25519;
    std::uint32_t bits = 0;
    std::array<char, kSignifyKeyNumberSize> key_number{};
};

const PublicKey::State& keyState(const PublicKey& key) { return *key.state_; }

namespace {

Result<PublicKey::State> parseSignifyKey(std::string_view text) {
    std::string decoded;
    if (auto read = decodeSignifyFile(text, Error::KeyMalformed, decoded); !read)
        return std::unexpected(read.error());
    if (decoded.size() == kSignifySecretKeySize) return std::unexpected(Error::KeyIsPrivate);
    if (decoded.size() != kSignifyPublicKeySize) return std::unexpected(Error::KeyMalformed);
    if (!decoded.starts_with(kSignifyAlgorithm))
        return std::unexpected(Error::KeyAlgorithmUnsupported);
    PublicKey::State state;
    state.algorithm = KeyAlgorithm::signify_ed25519;
    std::memcpy(state.key_number.data(), decoded.data() + kSignifyAlgorithm.size(),
                kSignifyKeyNumberSize);
    QS_TRY_ASSIGN(state.key, ed25519Key(std::string_view(decoded).substr(
                                 kSignifyAlgorithm.size() + kSignifyKeyNumberSize)));
    state.bits = kEd25519KeySize * 8;
    return state;
}

// Which named curve an EC key is on, as an OpenSSL NID.
int curveOf(const EVP_PKEY* key) {
    std::array<char, 80> name{};
    std::size_t length = 0;
    if (EVP_PKEY_get_group_name(key, name.data(), name.size(), &length) != 1) return NID_undef;
    return OBJ_txt2nid(name.data());
}

Result<PublicKey::State> parsePemKey(std::string_view text) {
    const std::size_t begin = text.find(kPemPublicBegin);
    const std::size_t body_start = begin + kPemPublicBegin.size();
    const std::size_t end = text.find(kPemPublicEnd, body_start);
    if (end == std::string_view::npos) return std::unexpected(Error::KeyMalformed);
    std::string der;
    QS_TRY(decodeBase64(text.substr(body_start, end - body_start), der));

    // The DER is parsed whole: bytes left after the structure mean it is not
    // the key the file claims to hold.
    const unsigned char* cursor = bytesOf(der);
    PkeyPtr key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())));
    if (!key || cursor != bytesOf(der) + der.size()) return failWith<PublicKey::State>(Error::KeyMalformed);

    PublicKey::State state;
    state.bits = static_cast<std::uint32_t>(EVP_PKEY_get_bits(key.get()));
    switch (EVP_PKEY_get_base_id(key.get())) {
    case EVP_PKEY_ED25519: state.algorithm = KeyAlgorithm::ed25519; break;
    case EVP_PKEY_EC:
        switch (curveOf(key.get())) {
        case NID_X9_62_prime256v1: state.algorithm = KeyAlgorithm::ecdsa_p256; break;
        case NID_secp384r1: state.algorithm = KeyAlgorithm::ecdsa_p384; break;
        default: return failWith<PublicKey::State>(Error::KeyAlgorithmUnsupported);
        }
        break;
    case EVP_PKEY_RSA:
        if (state.bits < kMinRsaBits) return std::unexpected(Error::KeyTooSmall);
        state.algorithm = KeyAlgorithm::rsa;
        break;
    default: return failWith<PublicKey::State>(Error::KeyAlgorithmUnsupported);
    }
    state.key = std::move(key);
    return state;
}

Result<PublicKey::State> parseKeyText(std::string_view text) {
    const std::string_view trimmed = trimSpace(text);
    if (trimmed.starts_with(kSignifyCommentPrefix)) return parseSignifyKey(trimmed);
    // A file that carries a private key is refused even when it holds the
    // public key too: the private half belongs on the signing machine only.
    if (text.find(kPemPrivateMarker) != std::string_view::npos)
        return std::unexpected(Error::KeyIsPrivate);
    if (text.find(kPemPublicBegin) != std::string_view::npos) return parsePemKey(text);
    if (text.find(kPemCertificateBegin) != std::string_view::npos)
        return std::unexpected(Error::KeyIsCertificate);
    return std::unexpected(Error::KeyFormatUnknown);
}

// The signature bytes to hand to OpenSSL: for signify keys the file is
// decoded and its key number checked, for PEM keys the file is the
// signature.
Result<std::string_view> signatureBytes(const PublicKey::State& key, std::string_view file,
                                        std::string& decoded) {
    switch (key.algorithm) {
    case KeyAlgorithm::signify_ed25519: {
        QS_TRY(decodeSignifyFile(trimSpace(file), Error::SignatureMalformed, decoded));
        if (decoded.size() != kSignifySignatureSize || !decoded.starts_with(kSignifyAlgorithm))
            return std::unexpected(Error::SignatureMalformed);
        const std::string_view key_number =
            std::string_view(decoded).substr(kSignifyAlgorithm.size(), kSignifyKeyNumberSize);
        if (key_number != std::string_view(key.key_number.data(), key.key_number.size()))
            return std::unexpected(Error::SignatureKeyNumberMismatch);
        return std::string_view(decoded).substr(kSignifyAlgorithm.size() + kSignifyKeyNumberSize);
    }
    case KeyAlgorithm::ed25519:
        if (file.size() != kEd25519SignatureSize) return std::unexpected(Error::SignatureMalformed);
        return file;
    case KeyAlgorithm::rsa:
        // PKCS#1 v1.5 signatures are exactly as long as the modulus.
        if (file.size() != static_cast<std::size_t>(EVP_PKEY_get_size(key.key.get())))
            return std::unexpected(Error::SignatureMalformed);
        return file;
    case KeyAlgorithm::ecdsa_p256:
    case KeyAlgorithm::ecdsa_p384:
        // DER of two integers: the verifier parses it and refuses what does
        // not fit; an empty file is plainly no signature.
        if (file.empty() ||
            file.size() > static_cast<std::size_t>(EVP_PKEY_get_size(key.key.get())))
            return std::unexpected(Error::SignatureMalformed);
        return file;
    }
    return std::unexpected(Error::SignatureMalformed);
}

// Ed25519 hashes the message itself; RSA and ECDSA sign its SHA-256.
const EVP_MD* digestFor(KeyAlgorithm algorithm) {
    switch (algorithm) {
    case KeyAlgorithm::signify_ed25519:
    case KeyAlgorithm::ed25519: return nullptr;
    case KeyAlgorithm::ecdsa_p256:
    case KeyAlgorithm::ecdsa_p384:
    case KeyAlgorithm::rsa: return EVP_sha256();
    }
    return nullptr;
}

Result<MdContextPtr> verifyContext(const PublicKey::State& key) {
    MdContextPtr context(EVP_MD_CTX_new());
    if (!context) return failWith<MdContextPtr>(Error::OutOfMemory);
    // The padding of an RSA key's verification defaults to PKCS#1 v1.5,
    // which is what `openssl dgst -sha256 -sign` writes.
    if (EVP_DigestVerifyInit(context.get(), nullptr, digestFor(key.algorithm), nullptr,
                             key.key.get()) != 1) {
        return failWith<MdContextPtr>(Error::OutOfMemory);
    }
    return context;
}

bool isEd25519(KeyAlgorithm algorithm) {
    return algorithm == KeyAlgorithm::signify_ed25519 || algorithm == KeyAlgorithm::ed25519;
}

// The group order L of Edwards25519, little-endian: an Ed25519 signature's
// S half is a number below it.
constexpr std::array<unsigned char, 32> kEd25519Order = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

bool belowEd25519Order(const unsigned char* scalar) {
    for (std::size_t i = kEd25519Order.size(); i-- > 0;) {
        if (scalar[i] != kEd25519Order[i]) return scalar[i] < kEd25519Order[i];
    }
    return false;
}

// Ed25519's verification equation, R = [S]B - [h]A, given h's SHA-512 of
// R, A and the message: the one-shot check would take that SHA-512 itself,
// in one pass over the whole message. True only when it holds; a key that
// is no point of the prime-order group, or a zero scalar, gives false, and
// the caller may ask the one-shot check for its verdict.
bool ed25519Holds(const unsigned char* public_key, const unsigned char* signature,
                  const unsigned char* digest) {
    if (sodium_init() < 0) return false;
    const unsigned char* r = signature;
    const unsigned char* s = signature + kEd25519KeySize;
    if (!belowEd25519Order(s) || crypto_core_ed25519_is_valid_point(public_key) != 1) return false;
    unsigned char h[crypto_core_ed25519_SCALARBYTES];
    crypto_core_ed25519_scalar_reduce(h, digest);
    unsigned char s_b[crypto_core_ed25519_BYTES];
    unsigned char h_a[crypto_core_ed25519_BYTES];
    unsigned char found[crypto_core_ed25519_BYTES];
    if (crypto_scalarmult_ed25519_base_noclamp(s_b, s) != 0 ||
        crypto_scalarmult_ed25519_noclamp(h_a, h, public_key) != 0 ||
        crypto_core_ed25519_sub(found, s_b, h_a) != 0) {
        return false;
    }
    return CRYPTO_memcmp(found, r, sizeof(found)) == 0;
}

}  // namespace

std::string_view keyAlgorithmName(KeyAlgorithm algorithm) {
    switch (algorithm) {
    case KeyAlgorithm::signify_ed25519: return "signify Ed25519";
    case KeyAlgorithm::ed25519: return "Ed25519";
    case KeyAlgorithm::ecdsa_p256: return "ECDSA P-256";
    case KeyAlgorithm::ecdsa_p384: return "ECDSA P-384";
    case KeyAlgorithm::rsa: return "RSA";
    }
    return "unknown";
}

PublicKey::PublicKey(std::unique_ptr<State> state) : state_(std::move(state)) {}
PublicKey::PublicKey(PublicKey&&) noexcept = default;
PublicKey& PublicKey::operator=(PublicKey&&) noexcept = default;
PublicKey::~PublicKey() = default;

KeyAlgorithm PublicKey::algorithm() const { return state_->algorithm; }
std::uint32_t PublicKey::bits() const { return state_->bits; }

Result<PublicKey> parsePublicKey(std::string_view text) {
    initOpenSsl();
    try {
        auto state = parseKeyText(text);
        if (!state) return std::unexpected(state.error());
        return PublicKey(std::make_unique<PublicKey::State>(std::move(*state)));
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

Result<void> verifySignature(const PublicKey& key, std::string_view signature_file,
                             std::string_view message) {
    try {
        const PublicKey::State& state = keyState(key);
        std::string decoded;
        QS_TRY_ASSIGN(const std::string_view signature,
                      signatureBytes(state, signature_file, decoded));
        QS_TRY_ASSIGN(MdContextPtr context, verifyContext(state));
        if (EVP_DigestVerify(context.get(), bytesOf(signature), signature.size(),
                             bytesOf(message), message.size()) != 1) {
            return failWith<void>(Error::SignatureMismatch);
        }
        return {};
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

bool verifiesIncrementally(const PublicKey& key) {
    return digestFor(key.algorithm()) != nullptr;
}

Result<void> verifySignedDigest(const PublicKey& key, std::string_view signature_file,
                               const Sha256Digest& digest) {
    if (!verifiesIncrementally(key)) return std::unexpected(Error::KeyAlgorithmUnsupported);
    try {
        const PublicKey::State& state = keyState(key);
        std::string decoded;
        QS_TRY_ASSIGN(const std::string_view signature,
                      signatureBytes(state, signature_file, decoded));
        PkeyContextPtr context(EVP_PKEY_CTX_new(state.key.get(), nullptr));
        if (!context) return failWith<void>(Error::OutOfMemory);
        // Naming the digest makes RSA compare its DigestInfo for SHA-256
        // (PKCS#1 v1.5 padding is the default), as the one-shot check does;
        // ECDSA takes the digest as it is.
        if (EVP_PKEY_verify_init(context.get()) != 1 ||
            EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
            return failWith<void>(Error::OutOfMemory);
        }
        if (EVP_PKEY_verify(context.get(), bytesOf(signature), signature.size(), digest.data(),
                            digest.size()) != 1) {
            return failWith<void>(Error::SignatureMismatch);
        }
        return {};
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

struct SignatureStream::State {
    MdContextPtr context;
    std::string signature;
    // Ed25519: the SHA-512 the equation needs, begun with R and the key.
    bool ed25519 = false;
    std::array<unsigned char, kEd25519KeySize> public_key{};
};

SignatureStream::SignatureStream(std::unique_ptr<State> state) : state_(std::move(state)) {}
SignatureStream::SignatureStream(SignatureStream&&) noexcept = default;
SignatureStream& SignatureStream::operator=(SignatureStream&&) noexcept = default;
SignatureStream::~SignatureStream() = default;

Result<SignatureStream> SignatureStream::begin(const PublicKey& key,
                                               std::string_view signature_file) {
    try {
        const PublicKey::State& key_state = keyState(key);
        auto state = std::make_unique<State>();
        std::string decoded;
        QS_TRY_ASSIGN(const std::string_view signature,
                      signatureBytes(key_state, signature_file, decoded));
        state->signature.assign(signature);
        if (!isEd25519(key_state.algorithm)) {
            QS_TRY_ASSIGN(state->context, verifyContext(key_state));
            return SignatureStream(std::move(state));
        }
        state->ed25519 = true;
        std::size_t key_size = state->public_key.size();
        if (EVP_PKEY_get_raw_public_key(key_state.key.get(), state->public_key.data(), &key_size) != 1 ||
            key_size != state->public_key.size()) {
            return failWith<SignatureStream>(Error::KeyMalformed);
        }
        state->context.reset(EVP_MD_CTX_new());
        if (!state->context || EVP_DigestInit_ex(state->context.get(), EVP_sha512(), nullptr) != 1 ||
            EVP_DigestUpdate(state->context.get(), state->signature.data(), kEd25519KeySize) != 1 ||
            EVP_DigestUpdate(state->context.get(), state->public_key.data(), key_size) != 1) {
            return failWith<SignatureStream>(Error::OutOfMemory);
        }
        return SignatureStream(std::move(state));
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

Result<void> SignatureStream::update(std::string_view piece) {
    const int updated = state_->ed25519
                            ? EVP_DigestUpdate(state_->context.get(), piece.data(), piece.size())
                            : EVP_DigestVerifyUpdate(state_->context.get(), piece.data(), piece.size());
    if (updated != 1) return failWith<void>(Error::OutOfMemory);
    return {};
}

Result<void> SignatureStream::finish() {
    if (state_->ed25519) {
        std::array<unsigned char, EVP_MAX_MD_SIZE> digest;
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length) != 1 || length != 64)
            return failWith<void>(Error::OutOfMemory);
        if (!ed25519Holds(state_->public_key.data(), bytesOf(state_->signature), digest.data()))
            return std::unexpected(Error::SignatureMismatch);
        return {};
    }
    if (EVP_DigestVerifyFinal(state_->context.get(), bytesOf(state_->signature),
                              state_->signature.size()) != 1) {
        return failWith<void>(Error::SignatureMismatch);
    }
    return {};
}

}  // namespace qs
