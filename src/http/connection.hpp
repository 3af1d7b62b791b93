#pragma once
// One pooled connection: a connected TCP socket, for https with a TLS
// session on it, and the buffers the HTTP layer reads and writes through.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "formats/buffered_reader.hpp"
#include "formats/reader.hpp"
#include "tls/tls_stream.hpp"
#include "http/uri.hpp"
#include "platform/fd.hpp"
#include "platform/socket_io.hpp"

namespace qs {

// Plaintext read buffer of a plain connection, and the limit of a response
// head: a head that does not fit one buffer is refused rather than grown.
inline constexpr std::size_t kReadBufferSize = 8192;
// A full TLS record (5-byte header, 16384 bytes of payload, 256 bytes of
// expansion): a TLS connection reads plaintext a record at a time.
inline constexpr std::size_t kTlsBufferSize = 16645;
// Request heads are streamed through this buffer; they have no size limit.
inline constexpr std::size_t kWriteBufferSize = 1024;

class Connection {
public:
    // Takes the connected socket and, for tls, the session on it. Reads and
    // writes wait with `limits` (not owned; the client's, which outlive its
    // connections); without them only a stop signal ends a wait.
    Connection(platform::Fd socket, std::unique_ptr<TlsStream> tls, std::string_view host,
               std::uint16_t port, platform::SocketLimits* limits = nullptr);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    [[nodiscard]] Protocol protocol() const { return tls_ ? Protocol::tls : Protocol::plain; }
    [[nodiscard]] std::string_view host() const { return {host_.data(), host_length_}; }
    [[nodiscard]] std::uint16_t port() const { return port_; }

    // Whether the end of the stream (a read of 0) is known to be the
    // server's: always for plain TCP, where nothing better exists; over TLS
    // only after close_notify.
    [[nodiscard]] bool endConfirmed() const;

    // The TLS session, null for plain TCP.
    [[nodiscard]] const TlsStream* tls() const { return tls_.get(); }

    // Set once the connection must not carry another request; never cleared.
    [[nodiscard]] bool closing() const { return closing_; }
    void markClosing() { closing_ = true; }

    // Received plaintext with look-ahead: the head scanner and the body
    // reader share it, so bytes after a head stay for the body. Transport
    // failures read as ReadFailed.
    [[nodiscard]] BufferedReader& reader() { return buffered_; }
    // 8192 bytes for plain, 16645 for tls.
    [[nodiscard]] std::size_t readBufferSize() const { return buffered_.capacity(); }

    // Buffers `bytes`, pushing the buffer out whenever it fills. WriteFailed.
    [[nodiscard]] Result<void> write(std::string_view bytes);
    // Pushes out what is buffered (through TLS when present). WriteFailed.
    [[nodiscard]] Result<void> flush();

private:
    // The socket or the TLS session as a Reader for the look-ahead buffer.
    class Transport final : public Reader {
    public:
        explicit Transport(Connection& owner) : owner_(owner) {}
        [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;

    private:
        Connection& owner_;
    };

    platform::Fd socket_;
    std::unique_ptr<TlsStream> tls_;
    platform::SocketLimits unlimited_;
    platform::SocketLimits* limits_;
    std::array<char, kMaxHostLength> host_{};
    std::size_t host_length_ = 0;
    std::uint16_t port_ = 0;
    bool closing_ = false;
    Transport transport_;
    std::array<char, kTlsBufferSize> read_buffer_{};
    BufferedReader buffered_;
    std::array<char, kWriteBufferSize> write_buffer_{};
    std::size_t write_length_ = 0;
};

}  // namespace qs
