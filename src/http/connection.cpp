#include "http/connection.hpp"

#include <algorithm>
#include <cstring>

#include "platform/socket_io.hpp"

namespace qs {

Connection::Connection(platform::Fd socket, std::unique_ptr<TlsStream> tls, std::string_view host,
                       std::uint16_t port, platform::SocketLimits* limits)
    : socket_(std::move(socket)),
      tls_(std::move(tls)),
      limits_(limits != nullptr ? limits : &unlimited_),
      port_(port),
      transport_(*this),
      buffered_(transport_, std::span<char>(read_buffer_)
                                .first(tls_ ? kTlsBufferSize : kReadBufferSize)) {
    host_length_ = std::min(host.size(), host_.size());
    std::memcpy(host_.data(), host.data(), host_length_);
}

// The TLS session goes first: it refers to the socket. No closing alert is
// sent; the peer learns of the end from the closed socket.
Connection::~Connection() { tls_.reset(); }

Result<std::size_t> Connection::Transport::read(std::span<char> out) {
    auto received = owner_.tls_ ? owner_.tls_->read(out)
                                : platform::socketReceive(owner_.socket_.get(), out, *owner_.limits_);
    if (!received) return std::unexpected(Error::ReadFailed);
    return *received;
}

Result<void> Connection::write(std::string_view bytes) {
    while (!bytes.empty()) {
        if (write_length_ == write_buffer_.size()) QS_TRY(flush());
        const std::size_t n = std::min(bytes.size(), write_buffer_.size() - write_length_);
        std::memcpy(write_buffer_.data() + write_length_, bytes.data(), n);
        write_length_ += n;
        bytes.remove_prefix(n);
    }
    return {};
}

Result<void> Connection::flush() {
    const std::string_view pending(write_buffer_.data(), write_length_);
    write_length_ = 0;
    if (pending.empty()) return {};
    auto sent = tls_ ? tls_->writeAll(pending)
                     : platform::socketSendAll(socket_.get(), pending, *limits_);
    if (!sent) return std::unexpected(Error::WriteFailed);
    return {};
}

bool Connection::endConfirmed() const { return !tls_ || tls_->endConfirmed(); }

}  // namespace qs
