#pragma once
// SHA-256 of a byte stream, fed piece by piece as the bytes arrive, so a
// payload is hashed while it is read instead of in a second pass; and the
// one-shot digests that name stored chunks.

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "util/error.hpp"

namespace qs {

inline constexpr std::size_t kSha256Length = 32;
using Sha256Digest = std::array<unsigned char, kSha256Length>;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Adds bytes. A digest whose set-up or update failed reports it at finish.
    void update(std::string_view bytes);
    // The digest of everything added; the object is spent afterwards.
    // OutOfMemory when the hashing context could not be had.
    [[nodiscard]] Result<Sha256Digest> finish();

private:
    struct Context;
    std::unique_ptr<Context> context_;
    bool failed_ = false;
};

// The two digests that name chunks in a chunk store. Both are 32 bytes;
// SHA-512/256 is the faster of the two on 64-bit machines.
enum class DigestAlgorithm { sha256, sha512_256 };

// The digest of bytes held in memory, in one call. OutOfMemory when the
// hashing context could not be had.
[[nodiscard]] Result<Sha256Digest> digestOf(DigestAlgorithm algorithm, std::string_view bytes);

// Lower-case hexadecimal, 64 characters.
[[nodiscard]] std::string hexDigest(const Sha256Digest& digest);

}  // namespace qs
