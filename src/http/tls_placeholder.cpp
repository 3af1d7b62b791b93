// Stands in for the TLS layer until it lands: https fails with a named error.
#include "http/tls_stream.hpp"
#include "http/trust_store.hpp"

namespace qs {

struct TrustStore::Impl {};
TrustStore::TrustStore() : impl_(std::make_unique<Impl>()) {}
TrustStore::~TrustStore() = default;
std::size_t TrustStore::size() const { return 0; }
void TrustStore::clear() {}

Result<void> reloadSystemTrustStore(TrustStore&, std::string_view) {
    return std::unexpected(Error::CertificateBundleLoadFailure);
}

struct TlsStream::Impl {};
TlsStream::TlsStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsStream::~TlsStream() = default;

Result<std::unique_ptr<TlsStream>> TlsStream::handshake(int, std::string_view, const TrustStore&) {
    return std::unexpected(Error::TlsInitializationFailed);
}
Result<std::size_t> TlsStream::read(std::span<char>) { return std::unexpected(Error::ReadFailed); }
Result<void> TlsStream::writeAll(std::string_view) { return std::unexpected(Error::WriteFailed); }

}  // namespace qs
