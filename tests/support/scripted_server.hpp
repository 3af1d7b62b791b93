#pragma once
// A loopback HTTP server for client tests that answers with exactly the bytes
// a test scripts, broken ones included.
//
// The server listens on 127.0.0.1 (or ::1, by option) on an ephemeral port. Each accepted
// connection runs, in its own thread, the next ConnectionScript of the list
// it was given (connection 0 runs scripts[0], and so on); a connection beyond
// the list runs the last script again when `repeat_last` is set and is closed
// at once otherwise. A script is a list of steps:
//
//   script::request()     read one request (head up to the blank line, plus a
//                         content-length body if it announces one) and record
//                         it; if the client closes first, the script ends
//   script::send(bytes)   write raw bytes, exactly as given, except that
//                         each "{port}" becomes the server's own port (so a
//                         redirect can point back at the same server)
//   script::pause(ms)     wait (the client is left blocked in its receive)
//   script::awaitClose()  read and discard until the client closes
//   script::hold()        keep the connection open, unread, until the server stops
//   script::flood(bytes)  send `bytes` again and again, as fast as the client
//                         reads, until it closes or the server stops
//
// With `tls_chain` set the server speaks TLS: each connection starts with
// the handshake (the leaf and its key first, then the rest of the chain) and
// every step runs over it, so a stall or a flood looks the same over https
// as over http.
//
// When the script ends the connection is closed. Typical scripts:
//
//   ScriptedServer server({
//       {script::request(), script::send("HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok")},
//   });
//   // or several requests on one kept-alive connection:
//   {script::request(), script::send(a), script::request(), script::send(b)}
//
// The server's threads block all signals, so a signal a test raises for
// itself (for example a timer that interrupts the client's blocking receive)
// is delivered to the test's thread.
//
// Nothing outlives the test: the destructor (or stop()) closes the listening
// socket and every connection and joins every thread, and after `lifetime`
// the server stops by itself, so a client stuck in a blocking receive sees the
// connection end instead of hanging the suite.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "support/certificates.hpp"

struct ssl_ctx_st;
struct ssl_st;

namespace qs::test {

// The loopback address (127.0.0.1, or ::1 with `ipv6`) with port 0 in
// `address`; returns its length for bind(2).
socklen_t loopbackAddress(bool ipv6, sockaddr_storage& address);

struct ScriptStep {
    enum class Kind { request, send, pause, await_close, hold, flood };
    Kind kind = Kind::request;
    std::string bytes;
    std::chrono::milliseconds duration{0};
};

using ConnectionScript = std::vector<ScriptStep>;

namespace script {
ScriptStep request();
ScriptStep send(std::string bytes);
ScriptStep pause(std::chrono::milliseconds duration);
ScriptStep awaitClose();
ScriptStep hold();
ScriptStep flood(std::string bytes);
// The common case: read one request, send `response`, close.
ConnectionScript respond(std::string response);
}  // namespace script

// One request as it arrived, byte for byte.
struct ReceivedRequest {
    std::size_t connection = 0;  // index of the accepted connection, from 0
    std::string bytes;
};

struct ScriptedServerOptions {
    bool repeat_last = false;
    // Listen on ::1 instead of 127.0.0.1 (pass "[::1]" as url()'s host).
    bool ipv6_loopback = false;
    // Everything stops after this long, whatever the scripts still wait for.
    std::chrono::milliseconds lifetime{15000};
    // Non-empty: serve over TLS with this chain (leaf first, with its key).
    std::vector<Certificate> tls_chain = {};
};

class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<ConnectionScript> scripts,
                            ScriptedServerOptions options = {});
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    [[nodiscard]] std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:{port}{path}" ("https://" with TLS); `host` replaces
    // 127.0.0.1 (for example "localhost", to reach the same server under
    // another host name).
    [[nodiscard]] std::string url(std::string_view path = "/",
                                  std::string_view host = "127.0.0.1") const;

    // Requests recorded so far, in the order they were complete.
    [[nodiscard]] std::vector<ReceivedRequest> requests() const;
    [[nodiscard]] std::size_t connectionsAccepted() const;
    // Waits until `count` connections have come to the end of their scripts
    // (closed by the server); false if the time ran out first.
    bool waitForFinishedConnections(std::size_t count, std::chrono::milliseconds limit);

    // Closes everything and joins the threads; the destructor calls it.
    void stop();

private:
    void acceptLoop();
    void serve(int fd, std::size_t index);
    // The TLS handshake of one connection, waiting in slices; nullptr when
    // it failed or the server stopped first.
    ssl_st* acceptTls(int fd);
    [[nodiscard]] bool stopping() const;

    std::vector<ConnectionScript> scripts_;
    ScriptedServerOptions options_;
    std::chrono::steady_clock::time_point deadline_;
    int listen_fd_ = -1;
    ssl_ctx_st* tls_context_ = nullptr;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    std::vector<ReceivedRequest> requests_;
    std::size_t accepted_ = 0;
    std::size_t finished_ = 0;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace qs::test
