#include "support/tls_server.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

namespace qs::test {

namespace {

// How long a server waits for the client at any one step.
constexpr int kStepTimeoutMs = 10000;

platform::Fd listenLoopback(std::uint16_t& port) {
    platform::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("bind");
    if (::listen(fd.get(), 4) != 0) throw std::runtime_error("listen");
    socklen_t length = sizeof address;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// Accepts one connection within the step timeout, with send and receive
// timeouts on it.
platform::Fd acceptOne(int listener) {
    pollfd waiting{listener, POLLIN, 0};
    if (::poll(&waiting, 1, kStepTimeoutMs) != 1) return platform::Fd();
    platform::Fd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) return fd;
    timeval limit{kStepTimeoutMs / 1000, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

void closeWith(platform::Fd& fd, ServerClose how) {
    if (how == ServerClose::reset) {
        linger abort{1, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    fd.reset();
}

int generateCookie(SSL*, unsigned char* cookie, std::size_t* length) {
    cookie[0] = 'q';
    *length = 1;
    return 1;
}

int verifyCookie(SSL*, const unsigned char* cookie, std::size_t length) {
    return length == 1 && cookie[0] == 'q' ? 1 : 0;
}

bool readExact(int fd, char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::recv(fd, out + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

platform::Fd connectLoopback(std::uint16_t port) {
    platform::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("connect");
    // A test client must not wait forever either.
    timeval limit{kStepTimeoutMs / 1000, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

TlsTestServer::TlsTestServer(TlsServerOptions options) : options_(std::move(options)) {
    listener_ = listenLoopback(port_);
    thread_ = std::thread([this] { serve(); });
}

TlsTestServer::~TlsTestServer() { join(); }

void TlsTestServer::join() {
    if (thread_.joinable()) thread_.join();
}

void TlsTestServer::serve() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_min_proto_version(ctx, options_.min_version);
    SSL_CTX_set_max_proto_version(ctx, options_.max_version);
    // Session tickets stay on: a TLS 1.3 server sends them after the
    // handshake whatever the client offered, and the client must cope.
    if (!options_.groups.empty()) SSL_CTX_set1_groups_list(ctx, options_.groups.c_str());
    if (!options_.tls12_ciphers.empty())
        SSL_CTX_set_cipher_list(ctx, options_.tls12_ciphers.c_str());
    if (!options_.tls13_suites.empty())
        SSL_CTX_set_ciphersuites(ctx, options_.tls13_suites.c_str());
    if (!options_.sigalgs.empty()) SSL_CTX_set1_sigalgs_list(ctx, options_.sigalgs.c_str());
    if (options_.stateless) {
        SSL_CTX_set_stateless_cookie_generate_cb(ctx, generateCookie);
        SSL_CTX_set_stateless_cookie_verify_cb(ctx, verifyCookie);
    }
    // The chain goes out exactly as given: no automatic chain building.
    SSL_CTX_set_mode(ctx, SSL_MODE_NO_AUTO_CHAIN);
    if (!options_.chain.empty()) {
        SSL_CTX_use_certificate(ctx, options_.chain.front().get());
        SSL_CTX_use_PrivateKey(ctx, options_.chain.front().key);
        for (std::size_t i = 1; i < options_.chain.size(); ++i) {
            X509_up_ref(options_.chain[i].get());
            SSL_CTX_add_extra_chain_cert(ctx, options_.chain[i].get());
        }
    }

    platform::Fd fd = acceptOne(listener_.get());
    listener_.reset();
    if (fd) {
        if (options_.delay_ms > 0) {
            if (options_.during_delay) options_.during_delay();
            std::this_thread::sleep_for(std::chrono::milliseconds(options_.delay_ms));
        }
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd.get());
        bool ready = true;
        if (options_.stateless) ready = SSL_stateless(ssl) == 1;
        handshake_ok_ = ready && SSL_accept(ssl) == 1;
        if (handshake_ok_) {
            char buffer[4096];
            while (!options_.read_until.empty() &&
                   received_.find(options_.read_until) == std::string::npos) {
                const int n = SSL_read(ssl, buffer, sizeof buffer);
                if (n <= 0) break;
                received_.append(buffer, static_cast<std::size_t>(n));
            }
            if (options_.delay_ms > 0) {
                if (options_.during_delay) options_.during_delay();
                std::this_thread::sleep_for(std::chrono::milliseconds(options_.delay_ms));
            }
            if (!options_.response.empty())
                SSL_write(ssl, options_.response.data(),
                          static_cast<int>(options_.response.size()));
            if (!options_.raw_after.empty())
                ::send(fd.get(), options_.raw_after.data(), options_.raw_after.size(),
                       MSG_NOSIGNAL);
            if (options_.close == ServerClose::notify) SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        closeWith(fd, options_.close);
    }
    SSL_CTX_free(ctx);
    ERR_clear_error();
}

RawTestServer::RawTestServer(std::function<std::string(std::string_view)> reply)
    : reply_(std::move(reply)) {
    listener_ = listenLoopback(port_);
    thread_ = std::thread([this] { serve(); });
}

RawTestServer::~RawTestServer() { join(); }

void RawTestServer::join() {
    if (thread_.joinable()) thread_.join();
}

void RawTestServer::serve() {
    platform::Fd fd = acceptOne(listener_.get());
    listener_.reset();
    if (!fd) return;
    char header[5];
    if (!readExact(fd.get(), header, sizeof header)) return;
    const std::size_t length =
        (static_cast<unsigned char>(header[3]) << 8) | static_cast<unsigned char>(header[4]);
    std::string record(header, sizeof header);
    record.resize(sizeof header + length);
    if (!readExact(fd.get(), record.data() + sizeof header, length)) return;
    first_record_ = record;
    const std::string answer = reply_(record);
    std::size_t sent = 0;
    while (sent < answer.size()) {
        const ssize_t n =
            ::send(fd.get(), answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
    // Nothing more comes from this side; wait (bounded) for the client to
    // give up, then close.
    ::shutdown(fd.get(), SHUT_WR);
    char sink[1024];
    while (::recv(fd.get(), sink, sizeof sink, 0) > 0) {
    }
}

ParsedClientHello parseClientHello(std::string_view record) {
    std::size_t at = 0;
    const auto need = [&](std::size_t n) {
        if (record.size() - at < n) throw std::runtime_error("short ClientHello");
    };
    const auto u8 = [&] {
        need(1);
        return static_cast<unsigned char>(record[at++]);
    };
    const auto u16 = [&] {
        const unsigned high = u8();
        return static_cast<std::uint16_t>((high << 8) | u8());
    };
    const auto bytes = [&](std::size_t n) {
        need(n);
        std::string out(record.substr(at, n));
        at += n;
        return out;
    };
    ParsedClientHello hello;
    if (u8() != 22) throw std::runtime_error("not a handshake record");
    hello.record_version = u16();
    u16();  // record length
    if (u8() != 1) throw std::runtime_error("not a ClientHello");
    bytes(3);
    hello.legacy_version = u16();
    bytes(32);
    hello.session_id = bytes(u8());
    const std::size_t suites = u16();
    for (std::size_t i = 0; i < suites / 2; ++i) hello.cipher_suites.push_back(u16());
    hello.compression_methods = bytes(u8());
    const std::size_t end = at + u16();
    while (at < end) {
        hello.extension_types.push_back(u16());
        hello.extension_bodies.push_back(bytes(u16()));
    }
    return hello;
}

}  // namespace qs::test
