#pragma once
// One TLS client session over a connected socket, with the agent's profile
// and its own certificate checks against a TrustStore.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "formats/reader.hpp"
#include "platform/socket_io.hpp"
#include "tls/trust_store.hpp"

namespace qs {

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
    // Every byte, or WriteFailed.
    [[nodiscard]] Result<void> writeAll(std::string_view bytes);

    struct Impl;

private:
    explicit TlsStream(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qs
