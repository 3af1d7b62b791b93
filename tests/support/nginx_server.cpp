#include "support/nginx_server.hpp"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "support/server_process.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {

namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";

}  // namespace

std::uint16_t pickFreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool NginxServer::available() { return ::access(kNginx, X_OK) == 0; }

NginxServer::NginxServer(std::string root_dir, NginxOptions options)
    : root_(std::move(root_dir)), options_(std::move(options)) {
    char pattern[] = "/tmp/quillstead-nginx-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    state_dir_ = pattern;
    const bool tls = !options_.certificate_file.empty();

    std::string conf;
    conf += "worker_processes 1;\nerror_log " + state_dir_ + "/error.log;\n";
    conf += "pid " + state_dir_ + "/nginx.pid;\n";
    if (::geteuid() == 0) conf += "user root;\n";
    conf += "events { worker_connections 256; }\nhttp {\n";
    conf += "  log_format qs escape=none '$request $status $body_bytes_sent \"$http_if_none_match\" "
            "\"$http_if_modified_since\" \"$http_proxy_authorization\" $http_via';\n";
    conf += "  access_log " + state_dir_ + "/access.log qs;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf += std::string("  ") + temp + "_temp_path " + state_dir_ + "/" + temp + ";\n";
    conf += "  default_type application/octet-stream;\n  sendfile on;\n";
    for (int attempt = 0; attempt < 20; ++attempt) {
        port_ = pickFreePort();
        std::string server = "  server {\n    listen 127.0.0.1:" + std::to_string(port_) +
                             (tls ? " ssl" : "") + ";\n    root " + root_ + ";\n";
        if (tls) {
            server += "    ssl_certificate " + options_.certificate_file + ";\n";
            server += "    ssl_certificate_key " + options_.key_file + ";\n";
        }
        if (options_.gzip)
            server += "    gzip on;\n    gzip_min_length 0;\n    gzip_types *;\n";
        server += options_.server_directives + "\n  }\n}\n";
        writeFile(state_dir_ + "/nginx.conf", conf + server);

        try {
            process_ = std::make_unique<ServerProcess>(
                std::vector<std::string>{kNginx, "-p", state_dir_ + "/", "-c",
                                         state_dir_ + "/nginx.conf", "-g",
                                         "daemon off; master_process off;"},
                std::vector<std::uint16_t>{port_}, state_dir_ + "/stderr.log",
                std::chrono::seconds(10));
            return;
        } catch (const std::runtime_error&) {
            // Lost the race for the port to another process: try another one.
        }
    }
    throw std::runtime_error("nginx did not start; see " + state_dir_ + "/error.log");
}

NginxServer::~NginxServer() {
    process_.reset();
    std::system(("rm -rf '" + state_dir_ + "'").c_str());
}

std::string NginxServer::url(std::string_view path) const {
    const bool tls = !options_.certificate_file.empty();
    return std::string(tls ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_) +
           std::string(path);
}

std::string NginxServer::accessLog() const {
    try {
        return readFile(state_dir_ + "/access.log");
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace qs::test
