#pragma once
// Base64 with the standard alphabet and "=" padding, both ways: encoding for
// Basic credentials, decoding for certificate, key and signature files.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "util/error.hpp"

namespace qs {

// Characters the encoding of `length` bytes takes: four for every three
// bytes begun.
[[nodiscard]] constexpr std::size_t base64EncodedLength(std::size_t length) {
    return (length + 2) / 3 * 4;
}

// Writes the padded encoding of `bytes` to the front of `out`, which must
// hold base64EncodedLength(bytes.size()) characters; returns that count.
std::size_t encodeBase64(std::string_view bytes, std::span<char> out);

// Spaces, tabs, carriage returns and line feeds anywhere are skipped. The
// padding must be exactly what the data length calls for and the unused bits
// of the last character zero, so each byte string has one accepted spelling.
// Appends to `out`. Errors: InvalidCharacter, InvalidPadding, OutOfMemory.
[[nodiscard]] Result<void> decodeBase64(std::string_view text, std::string& out);

}  // namespace qs
