#pragma once
// The signature step of a sync cycle for a bundle with a public_key: after
// the whole payload has arrived and before anything is written, the
// detached signature is fetched with the same client rules and checked.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
#include "sync/bundle_state.hpp"
#include "platform/page_buffer.hpp"
#include "sync/fetch_bundle.hpp"
#include "tls/signature.hpp"
#include "tls/digest.hpp"
#include "util/error.hpp"

namespace qs {

// Where a bundle's signature is published. signature_url when given, taken
// as written when it is a whole URL and resolved against the payload URL
// when it is relative; otherwise the payload URL with ".sig" appended to
// its path, ahead of any query or fragment ("https://h/a.tgz?x=1" gives
// "https://h/a.tgz.sig?x=1"; an empty path counts as "/"). Errors: those
// of parsing the URLs, OutOfMemory.
[[nodiscard]] Result<std::string> signatureUrlFor(std::string_view payload_url,
                                                  const std::optional<std::string>& signature_url);

// Reads a public_key file and checks that it holds a usable key; returns
// its text. Errors: those of reading the file (FileTooBig past
// kMaxKeyFileBytes) and of parsePublicKey.
[[nodiscard]] Result<std::string> readPublicKeyFile(const std::string& path);

// The key files a public_key value lists: separated by commas, blanks
// around each name dropped, empty names skipped. A signature by any of them
// is accepted, so that a key can be replaced without a flag day: the new key
// is added to every agent, signing switches to it, the old one is removed.
[[nodiscard]] std::vector<std::string> publicKeyPaths(std::string_view value);

// At start-up: reads every key file the bundle's public_key lists and
// returns their texts, to be kept in the bundle's state for the cycles to
// come; none for a bundle without a key. On failure logs "[name] public_key
// PATH unusable: error.X; bundle skipped" (or "[name] metadata_url needs
// public_key; bundle skipped") and returns nothing: such a bundle must never
// be polled without its check.
[[nodiscard]] std::optional<std::vector<std::string>> loadBundleKeys(const Bundle& bundle);

// The two halves of checkSignature, for a caller that chooses how to
// verify (over a digest it computed as the payload arrived, say): the
// signature fetched and the bundle's keys parsed, or nothing after the
// failure line; then, once verifyWithAnyKey has run, the line for its
// outcome and whether it verified.
struct FetchedSignature {
    std::vector<PublicKey> keys;
    platform::PageBuffer file;
};
[[nodiscard]] std::optional<FetchedSignature> fetchSignature(const Bundle& bundle,
                                                             const BundleState& state,
                                                             bool tls_verify,
                                                             const FetchOptions& payload_options);
// The same for the signature at `url`, with `what` naming the signed file in
// the failure lines' reasons ("metadata signature fetch failed: ...").
[[nodiscard]] std::optional<FetchedSignature> fetchSignatureAt(const Bundle& bundle,
                                                               const BundleState& state,
                                                               std::string_view url,
                                                               bool tls_verify,
                                                               const FetchOptions& payload_options);
// Succeeds with the algorithm of the first key the signature verifies
// with. Otherwise the error of the key that came closest: a signature that
// fails to verify with a key of its kind says more than the key numbers of
// the other signify keys.
[[nodiscard]] Result<KeyAlgorithm> verifyWithAnyKey(const FetchedSignature& signature,
                                                    std::string_view message);
// The same for a message on disk: a key whose check already ran while the
// message was written (`streamed` says yes for its index in the keys) is
// taken at that word; a key that signs a SHA-256 digest is checked over
// `digest`, when one was taken as the message was written; any other key
// over what `message` returns, asked for only when such a key is listed
// (the message read once more). A streamed "no" is asked again the same
// way, so a refusal names the same error as ever.
[[nodiscard]] Result<KeyAlgorithm> verifyWithAnyKey(
    const FetchedSignature& signature, const std::optional<Sha256Digest>& digest,
    const std::function<Result<std::string_view>()>& message,
    const std::function<bool(std::size_t)>& streamed = {});
[[nodiscard]] bool reportSignature(const Bundle& bundle, const Result<KeyAlgorithm>& verified);

// Fetches the signature of `payload` and verifies it against the key read
// at start-up. Returns false after logging "[name] signature check failed:
// REASON" when the signature is missing, cannot be fetched, belongs to
// another key or does not verify.
[[nodiscard]] bool checkSignature(const Bundle& bundle, const BundleState& state,
                                  std::string_view payload, bool tls_verify,
                                  const FetchOptions& payload_options);

}  // namespace qs
