#pragma once
// Fills a client's trust store from the system's CA certificate sources,
// trying them in order until one succeeds.

#include <string_view>

#include "tls/trust_store.hpp"

namespace qs {

inline constexpr std::string_view kCertDirectory = "/etc/ssl/certs";
inline constexpr std::string_view kCertBundlePath = "/usr/local/share/certs/ca-root-nss.crt";

// Every regular file and symbolic link of
// `directory`; if that fails, adds `bundle`; if that fails too, empties the
// store and loads `system`. The first success clears the loading mark. When
// all three fail, logs "warning(http): failed to load CA certificates:
// error.X" with the error of `system` and leaves the mark set. Never fails
// the caller.
void loadTrustStore(TrustStore& store, std::string_view directory = kCertDirectory,
                    std::string_view bundle = kCertBundlePath,
                    std::string_view system = kSystemCertPath);

}  // namespace qs
