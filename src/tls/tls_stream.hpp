#pragma once
// One TLS client session over a connected socket, with the agent's profile
// and its own certificate checks against a TrustStore.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "formats/reader.hpp"
#include "platform/socket_io.hpp"
#include "tls/client_identity.hpp"
#include "tls/trust_store.hpp"

namespace qs {

// What the client offers and accepts.
enum class TlsProfile {
    // The agent's own offer: ChaCha20 first, TLS 1.2 only with RSA
    // certificates, host names matched against DNS names only.
    baseline,
    // For the servers operators run: the baseline plus the TLS 1.2
    // ECDHE-ECDSA AES-GCM and ChaCha20 suites, AES-GCM first where the
    // processor has AES instructions, and an IP-address server name
    // matched against the certificate's IP addresses.
    compatible,
};

struct TlsOptions {
    TlsProfile profile = TlsProfile::baseline;
    // Presented when the server asks for a client certificate; null: none.
    std::shared_ptr<const ClientIdentity> identity;
};

// Why a handshake failed, for the operator's line.
struct TlsFailure {
    // One of the Tls* and Certificate* names, Interrupted or TimedOut.
    Error reason = Error::TlsInitializationFailed;
    // CertificateExpired: the notAfter of the expired certificate, as
    // "YYYY-MM-DD HH:MM:SS UTC"; CertificateHostMismatch: the server name;
    // TlsCertificateNotVerified: the issuer of the last certificate sent,
    // one line in RFC 2253 form. Empty otherwise.
    std::string detail;
    // The alert the server sent, when one ended the handshake.
    std::optional<unsigned> alert;
    // Whether the server asked for a client certificate before it failed.
    bool certificate_requested = false;
};

class TlsStream final : public Reader {
public:
    // Handshakes over `socket_fd` (not owned; it must outlive the stream)
    // with `host` as the server name. Every handshake failure, certificate
    // checks included, is TlsInitializationFailed.
    //
    // On a non-blocking socket every wait of the session (handshake, reads,
    // writes) goes through waitForSocket with `limits` (not owned; it must
    // outlive the stream, and the caller may change it between steps), so
    // a stop signal or a passed limit ends it; the limits then name why.
    // Without limits a wait still ends on a stop signal.
    [[nodiscard]] static Result<std::unique_ptr<TlsStream>> handshake(
        int socket_fd, std::string_view host, const TrustStore& store,
        platform::SocketLimits* limits = nullptr);
    // The same, naming in `reason` what made a failed handshake fail (one of
    // the Tls* and Certificate* names, or Interrupted and TimedOut); for
    // diagnostics and tests only, the result stays TlsInitializationFailed.
    [[nodiscard]] static Result<std::unique_ptr<TlsStream>> handshake(
        int socket_fd, std::string_view host, const TrustStore& store, Error& reason,
        platform::SocketLimits* limits = nullptr);
    // The same with a profile and a client identity, telling in `failure`
    // why a failed handshake failed.
    [[nodiscard]] static Result<std::unique_ptr<TlsStream>> handshake(
        int socket_fd, std::string_view host, const TrustStore& store, const TlsOptions& options,
        TlsFailure& failure, platform::SocketLimits* limits = nullptr);
    ~TlsStream() override;

    // The negotiated protocol version (0x0304 for TLS 1.3, 0x0303 for TLS 1.2)
    // and cipher suite, as their protocol codes.
    [[nodiscard]] std::uint16_t protocolVersion() const;
    [[nodiscard]] std::uint16_t cipherSuite() const;

    // Decrypted bytes; 0 at the end of the connection (with or without
    // close_notify); ReadFailed on any other failure, an alert from the
    // server included. The stream never sends close_notify: closing the
    // socket ends the session.
    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;
    // Whether the server ended the stream with close_notify. Only then is
    // the end of the stream the server's own: anyone on the path can end the
    // TCP connection, so data framed by the end alone is complete only when
    // this holds.
    [[nodiscard]] bool endConfirmed() const;
    // Whether the server asked for a client certificate during the
    // handshake, and the alert it sent since, if any: a server that refuses
    // the certificate may say so only after the handshake ended on our side.
    [[nodiscard]] bool certificateRequested() const;
    [[nodiscard]] std::optional<unsigned> alertReceived() const;
    // Every byte, or WriteFailed.
    [[nodiscard]] Result<void> writeAll(std::string_view bytes);

    struct Impl;

private:
    explicit TlsStream(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qs
