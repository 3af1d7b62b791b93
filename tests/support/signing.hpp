#pragma once
// Signing keys and detached signatures made by the real tools at test time:
// signify-openbsd for signify keys, the openssl command for PEM keys.

#include <string>
#include <string_view>
#include <vector>

namespace qs::test {

enum class SigningKind { signify, ed25519, p256, p384, rsa2048, rsa1024 };

struct SigningKey {
    SigningKind kind = SigningKind::signify;
    std::string public_path;  // what the agent's public_key names
    std::string secret_path;  // stays with the signer
};

// Makes a key pair as `directory`/`name`.pub and `directory`/`name`.sec
// (PEM for the openssl kinds, no passphrase for signify).
SigningKey makeSigningKey(const std::string& directory, std::string_view name, SigningKind kind);

// Signs the file at `payload_path` the way a publisher would (signify -S, or
// openssl dgst -sha256 -sign, or pkeyutl -sign -rawin for Ed25519) and
// returns the signature file's bytes; the file is also left at
// `payload_path`.sig.
std::string signFile(const SigningKey& key, const std::string& payload_path);

// Runs a tool by name through the PATH; the test fails when it fails.
std::string runTool(const std::vector<std::string>& argv);

}  // namespace qs::test
