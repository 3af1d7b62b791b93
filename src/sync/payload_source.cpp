#include "sync/payload_source.hpp"

#include <algorithm>
#include <memory>
#include <new>

namespace qs {

namespace {

// What the consumer left of a payload is read in blocks of this size and
// dropped: a block per receive on a fast connection, and no more memory.
constexpr std::size_t kDrainBlock = 64 * 1024;

}  // namespace

PayloadTap::PayloadTap(Reader& bytes, const PayloadLimits& limits)
    : bytes_(bytes), limit_(limits.max_bytes) {
    if (limits.digest) hash_.emplace();
}

Result<std::size_t> PayloadTap::read(std::span<char> out) {
    if (failure_) return std::unexpected(*failure_);
    if (limit_) {
        const std::uint64_t room = *limit_ - std::min(*limit_, count_);
        if (out.size() > room + 1) out = out.first(static_cast<std::size_t>(room) + 1);
    }
    auto n = bytes_.read(out);
    if (!n) {
        failure_ = n.error();
        return n;
    }
    count_ += *n;
    if (limit_ && count_ > *limit_) {
        over_limit_ = true;
        failure_ = Error::ReadFailed;
        return std::unexpected(Error::ReadFailed);
    }
    if (hash_) hash_->update(std::string_view(out.data(), *n));
    return n;
}

void PayloadTap::drain() {
    if (failure_) return;
    std::unique_ptr<char[]> block(new (std::nothrow) char[kDrainBlock]);
    if (!block) {
        failure_ = Error::OutOfMemory;
        return;
    }
    while (!failure_) {
        const auto n = read(std::span<char>(block.get(), kDrainBlock));
        if (n && *n == 0) break;
    }
}

std::optional<Sha256Digest> PayloadTap::digest() {
    // Without a digest the payload is simply installed as if it were new.
    if (!hash_ || failure_) return std::nullopt;
    auto digest = hash_->finish();
    if (!digest) return std::nullopt;
    return *digest;
}

}  // namespace qs
