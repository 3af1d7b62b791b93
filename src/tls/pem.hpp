#pragma once
// Certificate blocks of a PEM file: the base64 text between
// "-----BEGIN CERTIFICATE-----" and "-----END CERTIFICATE-----", decoded.
// Anything outside the blocks (comments, other PEM types) is ignored.

#include <string>
#include <string_view>

#include "util/error.hpp"

namespace qs {

class PemCertificateScanner {
public:
    explicit PemCertificateScanner(std::string_view text) : rest_(text) {}

    // Decodes the next certificate block into `der` and returns true, or
    // returns false when no further block begins. Errors:
    // MissingEndCertificateMarker, InvalidCharacter, InvalidPadding, OutOfMemory.
    [[nodiscard]] Result<bool> next(std::string& der);

private:
    std::string_view rest_;
};

}  // namespace qs
