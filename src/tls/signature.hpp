#pragma once
// Detached signatures over a payload: the public key a bundle trusts and the
// signature file published beside the payload, checked with OpenSSL's EVP
// interfaces. Two families of keys, told apart by the key file itself:
//   signify: "untrusted comment: ..." and the base64 of "Ed", an 8-byte key
//     number and a 32-byte Ed25519 key; its signature files carry the same
//     key number and a 64-byte Ed25519 signature.
//   PEM: "-----BEGIN PUBLIC KEY-----" (SubjectPublicKeyInfo) holding an
//     Ed25519, ECDSA P-256 or P-384, or RSA key of at least 2048 bits; its
//     signatures are the raw bytes the signing tool wrote (PKCS#1 v1.5 with
//     SHA-256 for RSA, DER with SHA-256 for ECDSA, 64 bytes for Ed25519).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "tls/digest.hpp"
#include "util/error.hpp"

namespace qs {

enum class KeyAlgorithm : std::uint8_t { signify_ed25519, ed25519, ecdsa_p256, ecdsa_p384, rsa };

// "signify Ed25519", "Ed25519", "ECDSA P-256", "ECDSA P-384", "RSA".
[[nodiscard]] std::string_view keyAlgorithmName(KeyAlgorithm algorithm);

// Key files are a few lines (a 16384-bit RSA key in PEM is under 4 KiB);
// anything far larger is not a key file, and reading it whole would only
// cost memory.
inline constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;
// A signature is at most 2 KiB (16384-bit RSA); a signify file adds its
// comment line, which signify caps at 1024 bytes. A larger download is not
// a signature and is refused before it can use memory.
inline constexpr std::size_t kMaxSignatureFileBytes = 8 * 1024;

class PublicKey {
public:
    PublicKey(PublicKey&&) noexcept;
    PublicKey& operator=(PublicKey&&) noexcept;
    ~PublicKey();

    [[nodiscard]] KeyAlgorithm algorithm() const;
    // Bits of the key: 256 for Ed25519 and P-256, the modulus for RSA.
    [[nodiscard]] std::uint32_t bits() const;

    struct State;

private:
    explicit PublicKey(std::unique_ptr<State> state);
    friend Result<PublicKey> parsePublicKey(std::string_view text);
    friend const State& keyState(const PublicKey& key);
    std::unique_ptr<State> state_;
};

// Reads the text of a key file. Errors: KeyFormatUnknown (neither family),
// KeyIsPrivate (a PEM private key, or a signify secret key: such a file
// has no business on the machines that only check), KeyIsCertificate (a
// certificate in place of its key), KeyAlgorithmUnsupported (another
// signify algorithm, DSA, another curve), KeyTooSmall (RSA below 2048
// bits), KeyMalformed (wrong lengths, a damaged structure, no end marker),
// InvalidCharacter and InvalidPadding (the base64), OutOfMemory.
[[nodiscard]] Result<PublicKey> parsePublicKey(std::string_view text);

// Checks `signature_file` (the bytes as downloaded) against `message`, the
// whole payload in one contiguous piece. Succeeds only when the signature
// verifies. Errors: SignatureMalformed (a signature file of the wrong shape
// or length for the key), SignatureKeyNumberMismatch (a signify signature
// made by another signify key), SignatureMismatch (the signature does not
// verify), InvalidCharacter and InvalidPadding (a signify file's base64),
// OutOfMemory.
[[nodiscard]] Result<void> verifySignature(const PublicKey& key, std::string_view signature_file,
                                           std::string_view message);

// Whether the key's signatures can be checked over a message that arrives
// in pieces: RSA and ECDSA sign a SHA-256 digest, Ed25519 needs the whole
// message at once.
[[nodiscard]] bool verifiesIncrementally(const PublicKey& key);

// verifySignature for a key that verifies incrementally, given the SHA-256
// of the message instead of the message: a payload hashed while it arrived
// is checked without being read again. KeyAlgorithmUnsupported for an
// Ed25519 key; otherwise the errors of verifySignature.
[[nodiscard]] Result<void> verifySignedDigest(const PublicKey& key,
                                              std::string_view signature_file,
                                              const Sha256Digest& digest);

// The incremental form of verifySignature: begin, feed every piece of the
// message in order, finish. Ed25519 keys too: the signature's R and the key
// open the SHA-512 the scheme takes over the message, so the signature must
// be at hand before the message is; its verdict is the equation's over that
// SHA-512 (libsodium's group operations), where a "no" for a key outside the
// prime-order group may be the one-shot check's "yes".
class SignatureStream {
public:
    SignatureStream(SignatureStream&&) noexcept;
    SignatureStream& operator=(SignatureStream&&) noexcept;
    ~SignatureStream();

    // The errors of verifySignature for the signature's shape; KeyMalformed
    // for an Ed25519 key whose bytes cannot be had.
    [[nodiscard]] static Result<SignatureStream> begin(const PublicKey& key,
                                                       std::string_view signature_file);
    [[nodiscard]] Result<void> update(std::string_view piece);
    // SignatureMismatch unless the pieces so far are what was signed.
    [[nodiscard]] Result<void> finish();

    struct State;

private:
    explicit SignatureStream(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace qs
