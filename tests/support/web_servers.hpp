#pragma once
// The web servers, caches, load balancers and forward proxy that bundles are
// published through in the field, each from its Debian package, run in the
// foreground on 127.0.0.1 with a configuration written here. Each object
// owns one server (and its temporary directory) and stops it when it goes.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/server_process.hpp"

namespace qs::test {

// What every server here offers the tests.
class WebServer {
public:
    virtual ~WebServer();
    // "http://127.0.0.1:PORT{path}", or "https://localhost:PORT{path}" for
    // the TLS listener when the server has one.
    [[nodiscard]] std::string url(std::string_view path) const;
    [[nodiscard]] std::string httpsUrl(std::string_view path) const;
    [[nodiscard]] std::uint16_t port() const { return port_; }
    [[nodiscard]] std::uint16_t tlsPort() const { return tls_port_; }
    // The request log the configuration asks for, "" when there is none.
    [[nodiscard]] std::string accessLog() const;
    // Whether the request log holds `text`, waiting up to `limit` for it:
    // some servers (lighttpd) write their log a second late.
    [[nodiscard]] bool logged(std::string_view text,
                              std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    [[nodiscard]] const std::string& stateDir() const { return state_dir_; }

protected:
    WebServer();
    void start(std::vector<std::string> argv, std::vector<std::uint16_t> ports);

    std::string state_dir_;  // 0755, so servers that drop root can read it
    std::uint16_t port_ = 0;
    std::uint16_t tls_port_ = 0;
    std::string access_log_;
    std::unique_ptr<ServerProcess> process_;
};

struct TlsFiles {
    std::string certificate;  // PEM chain
    std::string key;          // PEM key
};

struct ApacheOptions {
    // The FileETag directive; empty keeps Apache's default.
    std::string file_etag;
    // mod_deflate on *.txt (Apache then alters the ETag).
    bool deflate = false;
    TlsFiles tls;  // a TLS listener when set
};
class ApacheServer final : public WebServer {
public:
    ApacheServer(const std::string& root, const ApacheOptions& options);
    static bool available();
};

struct LighttpdOptions {
    bool deflate = false;  // mod_deflate on text/plain
    // Content types for *.txt alone: other files then go out without one
    // of their own, and lighttpd sends them with no ETag or Last-Modified.
    bool text_type_only = false;
    TlsFiles tls;
};
class LighttpdServer final : public WebServer {
public:
    LighttpdServer(const std::string& root, const LighttpdOptions& options);
    static bool available();
    static bool tlsAvailable();
};

// file_server with `encode gzip` on http and on https with certificates
// from Caddy's own internal CA.
class CaddyServer final : public WebServer {
public:
    explicit CaddyServer(const std::string& root);
    // The internal CA's root certificate (PEM), for the agent's trust store.
    [[nodiscard]] std::string rootCertificate() const;
    static bool available();
};

// varnish caching a backend with a one-second TTL and no grace, so that a
// changed file shows through after a short wait.
class VarnishServer final : public WebServer {
public:
    explicit VarnishServer(std::uint16_t backend_port);
    static bool available();
};

struct HaproxyOptions {
    std::vector<std::uint16_t> backends;  // round robin over these
    TlsFiles tls;                         // terminate TLS when set
};
class HaproxyServer final : public WebServer {
public:
    explicit HaproxyServer(const HaproxyOptions& options);
    static bool available();
};

// python3 -m http.server: no ETag, Last-Modified and If-Modified-Since.
class PythonHttpServer final : public WebServer {
public:
    explicit PythonHttpServer(const std::string& root);
    static bool available();
};

struct SquidOptions {
    // user:password lines for basic_ncsa_auth (made with htpasswd); empty:
    // no authentication.
    std::vector<std::pair<std::string, std::string>> users;
    // CONNECT to these ports is denied (403).
    std::vector<std::uint16_t> refused_connect_ports;
};
class SquidServer final : public WebServer {
public:
    explicit SquidServer(const SquidOptions& options);
    static bool available();
};

// A directory readable by servers that drop root privileges.
void makeWorldReadable(const std::string& dir);

}  // namespace qs::test
