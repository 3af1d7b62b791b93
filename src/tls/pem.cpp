#include "tls/pem.hpp"

#include "util/base64.hpp"

namespace qs {

namespace {

constexpr std::string_view kBeginMarker = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEndMarker = "-----END CERTIFICATE-----";

}  // namespace

Result<bool> PemCertificateScanner::next(std::string& der) {
    const std::size_t begin = rest_.find(kBeginMarker);
    if (begin == std::string_view::npos) {
        rest_ = {};
        return false;
    }
    const std::size_t body_start = begin + kBeginMarker.size();
    const std::size_t end = rest_.find(kEndMarker, body_start);
    if (end == std::string_view::npos) return std::unexpected(Error::MissingEndCertificateMarker);
    // The decoder skips the line breaks and blanks around and inside the text.
    const std::string_view body = rest_.substr(body_start, end - body_start);
    rest_.remove_prefix(end + kEndMarker.size());
    der.clear();
    QS_TRY(decodeBase64(body, der));
    return true;
}

}  // namespace qs
