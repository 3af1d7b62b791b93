#pragma once
// nginx from Debian's packages serving a directory on 127.0.0.1, for
// end-to-end runs of the agent against a real web server. The server runs
// as a child that dies with the test process, and stops when the object goes.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "support/server_process.hpp"

namespace qs::test {

struct NginxOptions {
    // Serve https with this certificate chain and key (PEM files).
    std::string certificate_file;
    std::string key_file;
    // Compress responses with nginx's gzip module (Content-Encoding: gzip).
    bool gzip = false;
    // Extra text placed inside the server block, verbatim.
    std::string server_directives;
};

class NginxServer {
public:
    NginxServer(std::string root_dir, NginxOptions options = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    [[nodiscard]] std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:PORT/path" (or https://localhost:PORT/path with TLS).
    [[nodiscard]] std::string url(std::string_view path) const;
    // The access log, one line per request: request line, status, bytes,
    // then the If-None-Match, If-Modified-Since and Proxy-Authorization
    // headers in quotes and the Via header.
    [[nodiscard]] std::string accessLog() const;

    // True when nginx is installed where the tests expect it.
    static bool available();

private:
    std::string root_;
    std::string state_dir_;
    NginxOptions options_;
    std::uint16_t port_ = 0;
    std::unique_ptr<ServerProcess> process_;
};

// A free TCP port on 127.0.0.1 at the time of the call.
std::uint16_t pickFreePort();

}  // namespace qs::test
