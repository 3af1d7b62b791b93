#pragma once
// The install of a payload while it arrives from its source.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
#include "log/log.hpp"
#include "platform/file_map.hpp"
#include "platform/page_buffer.hpp"
#include "sync/block_pipe.hpp"
#include "sync/bundle_state.hpp"
#include "sync/fetch_bundle.hpp"
#include "sync/payload_source.hpp"
#include "sync/signature_check.hpp"
#include "sync/spool.hpp"
#include "sync/sync_bundle.hpp"
#include "sync/versioned_install.hpp"
#include "tls/digest.hpp"

namespace qs {

// Installs a payload while it downloads, and finishes the install once the
// fetch has read the whole body. Versioned bundles extract straight from the
// body into a staging directory; direct and raw bundles, which write where
// readers look, spool the body to a private file first. Nothing becomes
// visible before the body has been read to its end and checked, and a fetch
// that fails leaves nothing behind.
//
// A signed payload is spooled in every mode: nothing of it is used before
// the signature, which covers the whole body, has been checked against the
// spool once the body is complete; not even its digest to call it identical
// or its bytes as an archive, so neither the archive reader nor the file
// system sees a byte an attacker could have chosen. For keys that sign a
// SHA-256 digest (RSA, ECDSA) the spool is hashed on a second thread while
// it is written and the check costs no second pass; an Ed25519 check reads
// the spool once. A checked archive is then decoded on a second thread
// while the files are written, which wins back the time the spool cost.
//
// The log reads as if the body had been downloaded first: what the install
// says while the body arrives is held back and written after the fetch's
// "200 OK" and the "new version" line, or dropped when the fetch fails.
class StreamingInstall final : public PayloadConsumer {
public:
    // `state` is the bundle's, for the key its payloads are checked with.
    StreamingInstall(const Bundle& bundle, const BundleState& state);
    StreamingInstall(const StreamingInstall&) = delete;
    StreamingInstall& operator=(const StreamingInstall&) = delete;

    // A fetch that failed leaves no trace: the staging directory or spool
    // goes, and so does a target_dir that only this cycle made.
    ~StreamingInstall() override {
        if (finished_) return;
        versioned_.reset();
        spool_.reset();
        if (made_target_dir_) discardTargetDir();
    }

    void consume(const NewPayload& payload) override;

    // A signed payload is kept whole on this thread before anything else,
    // so it is hashed here too, on a second thread, and never twice.
    [[nodiscard]] bool hashesPayload() const override { return signed_; }
    [[nodiscard]] std::optional<Sha256Digest> payloadDigest() const override { return payload_digest_; }

    // A payload announced by signed metadata: it must hash to `sha256` (hex)
    // before any of it is used, and needs no signature of its own, since
    // the metadata that names its digest is signed.
    void expectDigest(std::string sha256) { expected_sha256_ = std::move(sha256); }

    // Before the poll, with the payload fetch's `tls_verify` and `options`:
    // for an Ed25519 key the signature is fetched as soon as a new payload
    // answers, before its body, and the body is checked while it is
    // spooled. The scheme's SHA-512 begins with half the signature, so
    // without it the check is one more pass over the whole spool before
    // anything can be extracted. Both must outlive the poll and finish().
    void fetchSignatureFirst(bool tls_verify, const FetchOptions& options);

    // `tls_verify` and `options` are the payload fetch's, for the signature.
    [[nodiscard]] SyncOutcome finish(BundleState& state, const PayloadAnswer& fetched,
                                     bool tls_verify, const FetchOptions& options);

private:
    // Removes a target_dir only this cycle made.
    void discardTargetDir();
    // Whether the payload is an archive placed straight into target_dir.
    [[nodiscard]] bool directArchive() const;
    enum class Route { nothing, versioned, spooled, memory };

    void take(std::string_view version_key, Reader& body);
    // Spools the body into `directory`, or holds it in memory when no spool
    // can be made there.
    void spoolInto(std::string_view directory, Reader& body);
    void spool(Reader& body);
    void spoolHashed(Reader& body);
    // After take(): hashes what was kept in memory and what no route read,
    // then takes the digests.
    void finishHash(Reader& body, bool digest_wanted);
    void keepInMemory(Reader& body);
    // The spool mapped for the signature check, or nothing after the
    // check's failure line.
    [[nodiscard]] bool signatureVerifies(const BundleState& state, bool tls_verify,
                                         const FetchOptions& options);
    [[nodiscard]] Result<void> apply(std::string_view etag);

    // The signature fetched before the body, and the checks it began.
    struct EarlySignature {
        explicit EarlySignature(std::string_view spill_directory) : lines(spill_directory) {}
        // The fetch's own lines, written where a fetch after the body would
        // have written them (and dropped with a body that failed).
        log::HeldLines lines;
        std::optional<FetchedSignature> fetched;
        // By key index: the check of each Ed25519 key, fed on the hashing
        // thread; nothing for other keys, or where one could not begin.
        std::vector<std::optional<SignatureStream>> streams;
        // Whether every spooled byte went through the checks.
        bool complete = false;
    };
    void fetchSignatureEarly();
    [[nodiscard]] bool streamedVerifies(std::size_t key);

    const Bundle& bundle_;
    const BundleState& state_;
    const bool signed_;
    log::HeldLines held_;
    Result<std::string> version_ = std::unexpected(Error::Unexpected);
    bool target_dir_ready_ = false;
    bool made_target_dir_ = false;
    bool finished_ = false;
    Route route_ = Route::nothing;
    // Declared after version_, which it refers to.
    std::optional<VersionedInstall> versioned_;
    Result<void> staged_;
    std::optional<Spool> spool_;
    Result<void> spool_written_;
    // Whether what is written to the spool is hashed as it goes, for a key
    // that signs a digest, and that digest.
    bool hash_spool_ = false;
    std::optional<Sha256Digest> spool_digest_;
    // Whether a key checks the message itself (Ed25519); then where the
    // signature is fetched from, once fetchSignatureFirst named it.
    bool ed25519_key_ = false;
    bool early_tls_verify_ = true;
    const FetchOptions* early_options_ = nullptr;
    std::unique_ptr<EarlySignature> early_;
    // Whether the hash takes a SHA-256 (for a digest key or the source).
    bool sha256_wanted_ = false;
    // The payload's hash while it is read, and the digest of the whole
    // payload when the source asked for it.
    std::optional<BackgroundHash> hash_;
    std::optional<Sha256Digest> payload_digest_;
    // How far the payload was read by this consumer.
    enum class BodyRead { partly, to_its_end, failed };
    BodyRead body_read_ = BodyRead::partly;
    platform::PageBuffer memory_;
    std::optional<std::string> expected_sha256_;
};

}  // namespace qs
