#include "support/scripted_server.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <csignal>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace qs::test {

socklen_t loopbackAddress(bool ipv6, sockaddr_storage& address) {
    address = {};
    if (ipv6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        return sizeof v6;
    }
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof v4;
}

namespace script {
ScriptStep request() { return ScriptStep{ScriptStep::Kind::request, {}, {}}; }
ScriptStep send(std::string bytes) {
    return ScriptStep{ScriptStep::Kind::send, std::move(bytes), {}};
}
ScriptStep pause(std::chrono::milliseconds duration) {
    return ScriptStep{ScriptStep::Kind::pause, {}, duration};
}
ScriptStep awaitClose() { return ScriptStep{ScriptStep::Kind::await_close, {}, {}}; }
ScriptStep hold() { return ScriptStep{ScriptStep::Kind::hold, {}, {}}; }
ScriptStep flood(std::string bytes) {
    return ScriptStep{ScriptStep::Kind::flood, std::move(bytes), {}};
}
ConnectionScript respond(std::string response) { return {request(), send(std::move(response))}; }
}  // namespace script

namespace {

// Every wait is cut into slices this long so that stop() and the lifetime
// take effect promptly.
constexpr int kSliceMs = 20;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The content-length a request head announces, 0 when none.
std::size_t announcedLength(std::string_view head) {
    std::size_t at = head.find('\n');
    while (at != std::string_view::npos && at + 1 < head.size()) {
        const std::size_t start = at + 1;
        const std::size_t end = head.find('\n', start);
        std::string_view line = head.substr(start, end == std::string_view::npos ? end : end - start);
        constexpr std::string_view name = "content-length:";
        if (line.size() > name.size()) {
            bool match = true;
            for (std::size_t i = 0; i < name.size(); ++i) match = match && lower(line[i]) == name[i];
            if (match) return std::strtoull(std::string(line.substr(name.size())).c_str(), nullptr, 10);
        }
        at = end;
    }
    return 0;
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<ConnectionScript> scripts, ScriptedServerOptions options)
    : scripts_(std::move(scripts)),
      options_(options),
      deadline_(std::chrono::steady_clock::now() + options.lifetime) {
    const int family = options.ipv6_loopback ? AF_INET6 : AF_INET;
    listen_fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error("scripted server: socket failed");
    const int on = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t length = loopbackAddress(options.ipv6_loopback, address);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listen_fd_, 128) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listen_fd_);
        throw std::runtime_error("scripted server: bind/listen failed");
    }
    port_ = options.ipv6_loopback ? ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port)
                                  : ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);
    if (!options_.tls_chain.empty()) {
        tls_context_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_mode(tls_context_, SSL_MODE_NO_AUTO_CHAIN);
        SSL_CTX_use_certificate(tls_context_, options_.tls_chain.front().get());
        SSL_CTX_use_PrivateKey(tls_context_, options_.tls_chain.front().key);
        for (std::size_t i = 1; i < options_.tls_chain.size(); ++i) {
            X509_up_ref(options_.tls_chain[i].get());
            SSL_CTX_add_extra_chain_cert(tls_context_, options_.tls_chain[i].get());
        }
    }
    // The server's threads block every signal, so a signal a test aims at
    // itself (a timer interrupting the client's receive) reaches the test's
    // thread. Threads inherit the mask of their creator.
    sigset_t all{};
    sigset_t previous{};
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    acceptor_ = std::thread([this] { acceptLoop(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

ScriptedServer::~ScriptedServer() { stop(); }

void ScriptedServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
    }
    if (tls_context_ != nullptr) {
        SSL_CTX_free(tls_context_);
        tls_context_ = nullptr;
    }
}

bool ScriptedServer::stopping() const {
    if (std::chrono::steady_clock::now() >= deadline_) return true;
    std::lock_guard lock(mutex_);
    return stop_;
}

std::string ScriptedServer::url(std::string_view path, std::string_view host) const {
    return std::string(tls_context_ != nullptr ? "https://" : "http://") + std::string(host) + ":" + std::to_string(port_) + std::string(path);
}

std::vector<ReceivedRequest> ScriptedServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t ScriptedServer::connectionsAccepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

bool ScriptedServer::waitForFinishedConnections(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return finished_ >= count; });
}

void ScriptedServer::acceptLoop() {
    while (!stopping()) {
        pollfd entry{listen_fd_, POLLIN, 0};
        if (::poll(&entry, 1, kSliceMs) <= 0) continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::size_t index = 0;
        {
            std::lock_guard lock(mutex_);
            index = accepted_++;
        }
        workers_.emplace_back([this, fd, index] { serve(fd, index); });
    }
}

ssl_st* ScriptedServer::acceptTls(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    SSL* ssl = SSL_new(tls_context_);
    SSL_set_fd(ssl, fd);
    while (!stopping()) {
        ERR_clear_error();
        const int status = SSL_accept(ssl);
        if (status == 1) return ssl;
        const int detail = SSL_get_error(ssl, status);
        if (detail != SSL_ERROR_WANT_READ && detail != SSL_ERROR_WANT_WRITE) break;
        pollfd entry{fd, static_cast<short>(detail == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        ::poll(&entry, 1, kSliceMs);
    }
    SSL_free(ssl);
    return nullptr;
}

void ScriptedServer::serve(int fd, std::size_t index) {
    const ConnectionScript* chosen = nullptr;
    if (index < scripts_.size()) chosen = &scripts_[index];
    else if (options_.repeat_last && !scripts_.empty()) chosen = &scripts_.back();

    SSL* ssl = nullptr;
    if (tls_context_ != nullptr && chosen != nullptr) {
        ssl = acceptTls(fd);
        if (ssl == nullptr) chosen = nullptr;
    }
    // Over TLS: waits as OpenSSL asks after a call that could not go on; true
    // to call again, false when it failed or the server stops.
    const auto tlsRetry = [&](int status) {
        const int detail = SSL_get_error(ssl, status);
        if (detail != SSL_ERROR_WANT_READ && detail != SSL_ERROR_WANT_WRITE) return false;
        pollfd entry{fd, static_cast<short>(detail == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        ::poll(&entry, 1, kSliceMs);
        return !stopping();
    };

    std::string pending;  // bytes received and not yet part of a recorded request
    // Waits for input; false when the server stops first.
    const auto readable = [&]() {
        while (!stopping()) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, kSliceMs) > 0) return true;
        }
        return false;
    };
    // Appends what arrives; false at the end of the connection or on stop.
    const auto receive = [&]() {
        char buffer[4096];
        if (ssl != nullptr) {
            for (;;) {
                ERR_clear_error();
                std::size_t n = 0;
                const int status = SSL_read_ex(ssl, buffer, sizeof buffer, &n);
                if (status == 1) {
                    pending.append(buffer, n);
                    return true;
                }
                if (!tlsRetry(status)) return false;
            }
        }
        if (!readable()) return false;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
        return true;
    };
    const auto sendAll = [&](std::string_view bytes) {
        if (ssl != nullptr) {
            while (!bytes.empty()) {
                ERR_clear_error();
                std::size_t n = 0;
                const int status = SSL_write_ex(ssl, bytes.data(), bytes.size(), &n);
                if (status == 1) {
                    bytes.remove_prefix(n);
                    continue;
                }
                if (!tlsRetry(status)) return false;
            }
            return true;
        }
        while (!bytes.empty() && !stopping()) {
            pollfd entry{fd, POLLOUT, 0};
            if (::poll(&entry, 1, kSliceMs) <= 0) continue;
            const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return bytes.empty();
    };

    bool open = chosen != nullptr;
    for (std::size_t step = 0; open && chosen != nullptr && step < chosen->size(); ++step) {
        const ScriptStep& action = (*chosen)[step];
        switch (action.kind) {
        case ScriptStep::Kind::request: {
            std::size_t end = std::string::npos;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                if (!receive()) {
                    open = false;
                    break;
                }
            }
            if (!open) break;
            const std::size_t total = end + 4 + announcedLength(std::string_view(pending).substr(0, end + 2));
            while (pending.size() < total) {
                if (!receive()) {
                    open = false;
                    break;
                }
            }
            if (!open) break;
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(ReceivedRequest{index, pending.substr(0, total)});
            }
            pending.erase(0, total);
            break;
        }
        case ScriptStep::Kind::send: {
            std::string bytes = action.bytes;
            const std::string port = std::to_string(port_);
            for (std::size_t at = bytes.find("{port}"); at != std::string::npos;
                 at = bytes.find("{port}", at + port.size())) {
                bytes.replace(at, 6, port);
            }
            open = sendAll(bytes);
            break;
        }
        case ScriptStep::Kind::pause: {
            const auto until = std::chrono::steady_clock::now() + action.duration;
            while (std::chrono::steady_clock::now() < until && !stopping()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            break;
        }
        case ScriptStep::Kind::await_close:
            while (receive()) pending.clear();
            break;
        case ScriptStep::Kind::hold:
            while (!stopping()) std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
            break;
        case ScriptStep::Kind::flood:
            while (!stopping() && sendAll(action.bytes)) {
            }
            open = false;
            break;
        }
    }
    if (ssl != nullptr) {
        // One try at close_notify, never waited for: a client that stopped
        // reading must not hold the thread.
        if (open) SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    ::close(fd);
    {
        std::lock_guard lock(mutex_);
        ++finished_;
    }
    changed_.notify_all();
}

}  // namespace qs::test
