#pragma once
// Chunk indexes and stores written by the real casync tool at test time.

#include <string>

namespace qs::test {

enum class CasyncDigest { sha512_256, sha256 };

struct CasyncOptions {
    CasyncDigest digest = CasyncDigest::sha512_256;
    std::string chunk_size;   // casync's --chunk-size (MIN:AVG:MAX); empty: casync's default
    std::string compression;  // casync's --compression (zstd, xz, gzip); empty: zstd
};

inline constexpr const char* kCasyncPath = "/usr/bin/casync";

// True when casync is installed.
bool haveCasync();

// Runs `casync make --store=store index blob`; fails the current test
// (ADD_FAILURE) and returns false when casync does not succeed.
bool casyncMake(const std::string& blob, const std::string& index, const std::string& store,
                const CasyncOptions& options = {});

}  // namespace qs::test
