#pragma once
// Where a bundle's payload comes from. Every source meets one contract:
// asked once per cycle, with the bundle's recorded state, it answers that
// nothing changed, that it failed (and why), or that there is a new
// payload, which it hands to a consumer as a stream of bytes while it
// arrives. The conditional GET of the bundle's URL is one such source; the
// install does not care which one fed it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "formats/reader.hpp"
#include "sync/bundle_state.hpp"
#include "tls/digest.hpp"

namespace qs {

// What lets the next poll ask "anything newer than this?" and what the
// records keep of an installed payload. Either may be empty.
struct PayloadValidators {
    // The HTTP ETag as the server gave it (quotes and W/ kept).
    std::string etag;
    // The Last-Modified value, trimmed like the ETag.
    std::string last_modified;
};

// A new payload while it arrives.
struct NewPayload {
    // What the version is named after (deriveVersion); the empty key gives
    // a clock-based version.
    std::string_view version_key;
    const PayloadValidators& validators;
    // The payload's bytes, decoded. A consumer may stop early; the source
    // still reads the rest, since only the whole payload tells whether it
    // arrived. A failing read is the source's to report: the consumer only
    // has to stop, and learns the outcome from the answer.
    Reader& bytes;
    // The length announced before the bytes, when the source knows it.
    std::optional<std::uint64_t> size;
    // The source wants the payload's SHA-256 from the consumer, which said
    // it hashes the payload itself (hashesPayload), and does not hash it.
    bool digest_wanted = false;
};

// Takes a new payload as it arrives; called at most once per poll.
class PayloadConsumer {
public:
    virtual ~PayloadConsumer() = default;
    virtual void consume(const NewPayload& payload) = 0;
    // Whether the consumer can give the SHA-256 of the whole payload: a
    // consumer that hashes what it keeps anyway spares the source a second
    // pass over the same bytes. Asked before consume().
    [[nodiscard]] virtual bool hashesPayload() const { return false; }
    // After consume() with NewPayload::digest_wanted: the digest of the
    // whole payload, once it was read to its end (the consumer reads what
    // it did not keep itself); nothing after a failed read.
    [[nodiscard]] virtual std::optional<Sha256Digest> payloadDigest() const { return std::nullopt; }
};

// What a poll came to.
struct PayloadAnswer {
    enum class Kind { unchanged, failed, new_payload };
    Kind kind = Kind::failed;
    // new_payload: as given to the consumer.
    PayloadValidators validators;
    // new_payload: the length of the whole payload.
    std::uint64_t size = 0;
    // new_payload with PayloadLimits::digest: the SHA-256 of the payload.
    std::optional<Sha256Digest> digest;
    // failed: the reason for the operator ("timed out", "interrupted",
    // "payload over limit", ...); the cause was logged already.
    std::string reason;
    // failed because the payload passed PayloadLimits::max_bytes: that
    // limit, for the caller's line; 0 otherwise.
    std::uint64_t over_limit = 0;
    // failed, and the failure has a line of its own already (a signature
    // that did not verify): the caller adds none, and calls the cycle's
    // outcome a signature failure.
    bool reported = false;
    // new_payload put together from chunks: how many there were, how many
    // had to be fetched and the bytes that cost (the index included).
    struct ChunkCounts {
        std::size_t total = 0;
        std::size_t fetched = 0;
        std::uint64_t downloaded = 0;
    };
    std::optional<ChunkCounts> chunks;
};

class PayloadSource {
public:
    virtual ~PayloadSource() = default;
    // One poll: `state` holds what the agent has installed (its validators)
    // and what it refused. A new payload goes to `consumer` before this
    // returns.
    [[nodiscard]] virtual PayloadAnswer poll(const BundleState& state,
                                             PayloadConsumer& consumer) = 0;
};

// What every source applies to the bytes it hands on.
struct PayloadLimits {
    // The largest payload accepted; the read that passes it fails.
    std::optional<std::uint64_t> max_bytes;
    // Hash the payload while it passes.
    bool digest = false;
};

// The payload as a consumer sees it, over the source's own stream: counts
// and hashes what passes and remembers the first failure, so that the
// source can tell a broken stream from a consumer that stopped early,
// whatever the consumer made of it.
//
// With a limit it never reads more than one byte past it: that byte is
// enough to know the payload is too large, and the consumer then sees a
// failed read, so neither it nor the source takes in more.
class PayloadTap final : public Reader {
public:
    PayloadTap(Reader& bytes, const PayloadLimits& limits);

    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;

    // Reads what the consumer left, to the end or the first failure.
    void drain();

    [[nodiscard]] std::uint64_t count() const { return count_; }
    [[nodiscard]] std::optional<Error> failure() const { return failure_; }
    [[nodiscard]] bool overLimit() const { return over_limit_; }
    // The digest of everything read, once the stream ended well.
    [[nodiscard]] std::optional<Sha256Digest> digest();

private:
    Reader& bytes_;
    std::optional<std::uint64_t> limit_;
    std::optional<Sha256> hash_;
    std::uint64_t count_ = 0;
    std::optional<Error> failure_;
    bool over_limit_ = false;
};

}  // namespace qs
