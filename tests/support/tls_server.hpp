#pragma once
// Loopback servers for TLS client tests, each on its own thread, serving one
// connection on 127.0.0.1 and stopping by itself: every wait is bounded, so a
// client that never comes or never answers cannot hang the suite.
//
// TlsTestServer runs a real OpenSSL server with a chosen certificate chain
// (sent exactly in the order given) and protocol settings. RawTestServer
// reads the client's first record (its ClientHello) and answers with bytes
// the test composes, for server behaviour OpenSSL will not produce.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "platform/fd.hpp"
#include "support/certificates.hpp"

namespace qs::test {

enum class ServerClose { notify, silent, reset };

struct TlsServerOptions {
    std::vector<Certificate> chain;  // leaf first, sent in this order
    int min_version = TLS1_2_VERSION;
    int max_version = TLS1_3_VERSION;
    std::string groups;         // empty: OpenSSL's default
    std::string tls12_ciphers;  // empty: OpenSSL's default
    std::string tls13_suites;   // empty: OpenSSL's default
    std::string sigalgs;        // empty: OpenSSL's default
    bool stateless = false;     // answer the first ClientHello with a cookie HelloRetryRequest
    std::string read_until;     // after the handshake, read until this text arrives
    std::string response;       // then send this
    std::string raw_after;      // bytes written straight to the socket after the response
    ServerClose close = ServerClose::silent;
    int delay_ms = 0;                    // pause before the handshake and before the response
    std::function<void()> during_delay;  // run at the start of each pause
};

class TlsTestServer {
public:
    explicit TlsTestServer(TlsServerOptions options);
    ~TlsTestServer();
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    [[nodiscard]] std::uint16_t port() const { return port_; }
    // Waits for the connection to be served; then the results below hold.
    void join();
    [[nodiscard]] bool handshakeSucceeded() const { return handshake_ok_; }
    [[nodiscard]] const std::string& received() const { return received_; }

private:
    void serve();

    TlsServerOptions options_;
    platform::Fd listener_;
    std::uint16_t port_ = 0;
    std::thread thread_;
    bool handshake_ok_ = false;
    std::string received_;
};

class RawTestServer {
public:
    // `reply` gets the client's first TLS record and returns the bytes to send.
    explicit RawTestServer(std::function<std::string(std::string_view first_record)> reply);
    ~RawTestServer();
    RawTestServer(const RawTestServer&) = delete;
    RawTestServer& operator=(const RawTestServer&) = delete;

    [[nodiscard]] std::uint16_t port() const { return port_; }
    void join();
    [[nodiscard]] const std::string& firstRecord() const { return first_record_; }

private:
    void serve();

    std::function<std::string(std::string_view)> reply_;
    platform::Fd listener_;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::string first_record_;
};

// A blocking TCP connection to 127.0.0.1:port.
platform::Fd connectLoopback(std::uint16_t port);

// The parts of a ClientHello the tests look at.
struct ParsedClientHello {
    std::uint16_t record_version = 0;
    std::uint16_t legacy_version = 0;
    std::string session_id;
    std::vector<std::uint16_t> cipher_suites;
    std::string compression_methods;
    std::vector<std::uint16_t> extension_types;  // in the order sent
    std::vector<std::string> extension_bodies;
};
// Parses one record holding a ClientHello; throws on malformed input.
ParsedClientHello parseClientHello(std::string_view record);

}  // namespace qs::test
