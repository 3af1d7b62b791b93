#include "support/web_servers.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "support/nginx_server.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {

namespace {

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

std::string portText(std::uint16_t port) { return std::to_string(port); }

}  // namespace

void makeWorldReadable(const std::string& dir) {
    ::chmod(dir.c_str(), 0755);
}

WebServer::WebServer() {
    char pattern[] = "/tmp/quillstead-server-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    state_dir_ = pattern;
    makeWorldReadable(state_dir_);
}

WebServer::~WebServer() {
    process_.reset();
    std::system(("rm -rf '" + state_dir_ + "'").c_str());
}

void WebServer::start(std::vector<std::string> argv, std::vector<std::uint16_t> ports) {
    process_ = std::make_unique<ServerProcess>(std::move(argv), std::move(ports),
                                               state_dir_ + "/server.log");
}

std::string WebServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + portText(port_) + std::string(path);
}

std::string WebServer::httpsUrl(std::string_view path) const {
    return "https://localhost:" + portText(tls_port_) + std::string(path);
}

std::string WebServer::accessLog() const {
    if (access_log_.empty()) return {};
    try {
        return readFile(access_log_);
    } catch (const std::exception&) {
        return {};
    }
}

bool WebServer::logged(std::string_view text, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (accessLog().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Apache httpd: prefork in one foreground process (-X), the modules this
// configuration names and nothing from /etc/apache2.
bool ApacheServer::available() { return programsInstalled({"/usr/sbin/apache2"}); }

ApacheServer::ApacheServer(const std::string& root, const ApacheOptions& options) {
    const std::string modules = "/usr/lib/apache2/modules/";
    port_ = pickFreePort();
    access_log_ = state_dir_ + "/access.log";
    std::string conf;
    for (const char* module : {"mpm_prefork", "authz_core", "mime", "filter", "deflate", "ssl",
                               "socache_shmcb"}) {
        conf += std::string("LoadModule ") + module + "_module " + modules + "mod_" + module + ".so\n";
    }
    conf += "ServerRoot " + state_dir_ + "\nServerName localhost\nPidFile " + state_dir_ +
            "/httpd.pid\nMutex file:" + state_dir_ + "\nErrorLog " + state_dir_ + "/error.log\n";
    // One process (-X) serves one connection at a time: a kept-alive
    // connection from a balancer would hold it for the keep-alive timeout.
    conf += "User www-data\nGroup www-data\nTypesConfig /etc/mime.types\nKeepAlive Off\n";
    conf += "LogFormat \"%r %>s %b \\\"%{If-None-Match}i\\\" %{ETag}o\" qs\nCustomLog " +
            access_log_ + " qs\n";
    conf += "Listen 127.0.0.1:" + portText(port_) + "\n";
    conf += "DocumentRoot " + root + "\n<Directory " + root + ">\n  Require all granted\n";
    if (!options.file_etag.empty()) conf += "  FileETag " + options.file_etag + "\n";
    if (options.deflate) conf += "  <Files \"*.txt\">\n    SetOutputFilter DEFLATE\n  </Files>\n";
    conf += "</Directory>\n";
    std::vector<std::uint16_t> ports{port_};
    if (!options.tls.certificate.empty()) {
        tls_port_ = pickFreePort();
        ports.push_back(tls_port_);
        conf += "Listen 127.0.0.1:" + portText(tls_port_) + "\n<VirtualHost 127.0.0.1:" +
                portText(tls_port_) + ">\n  SSLEngine on\n  SSLCertificateFile " +
                options.tls.certificate + "\n  SSLCertificateKeyFile " + options.tls.key +
                "\n</VirtualHost>\n";
    }
    writeFile(state_dir_ + "/httpd.conf", conf);
    start({"/usr/sbin/apache2", "-X", "-f", state_dir_ + "/httpd.conf"}, ports);
}

// lighttpd in the foreground (-D); it runs as the test's user.
bool LighttpdServer::available() {
    return programsInstalled({"/usr/sbin/lighttpd"}) &&
           std::filesystem::exists("/usr/lib/lighttpd/mod_deflate.so");
}
bool LighttpdServer::tlsAvailable() {
    return std::filesystem::exists("/usr/lib/lighttpd/mod_openssl.so");
}

LighttpdServer::LighttpdServer(const std::string& root, const LighttpdOptions& options) {
    port_ = pickFreePort();
    access_log_ = state_dir_ + "/access.log";
    std::string conf = "server.document-root = \"" + root + "\"\nserver.bind = \"127.0.0.1\"\n";
    conf += "server.port = " + portText(port_) + "\nserver.errorlog = \"" + state_dir_ +
            "/error.log\"\nserver.pid-file = \"" + state_dir_ + "/lighttpd.pid\"\n";
    // The stat cache would serve a file replaced within the last second or
    // two with its old ETag; the tests replace files and ask at once.
    conf += "server.stat-cache-engine = \"disable\"\n";
    conf += "server.modules = (\"mod_accesslog\"";
    if (options.deflate) conf += ", \"mod_deflate\"";
    if (!options.tls.certificate.empty()) conf += ", \"mod_openssl\"";
    conf += ")\naccesslog.filename = \"" + access_log_ +
            "\"\naccesslog.format = \"%r %>s %b \\\"%{If-None-Match}i\\\" %{ETag}o\"\n";
    conf += std::string("mimetype.assign = (\".txt\" => \"text/plain\"") +
            (options.text_type_only ? "" : ", \"\" => \"application/octet-stream\"") + ")\n";
    if (options.deflate) {
        conf += "deflate.mimetypes = (\"text/plain\")\ndeflate.allowed-encodings = (\"gzip\")\n"
                "deflate.cache-dir = \"" + state_dir_ + "/deflate\"\n";
        std::filesystem::create_directories(state_dir_ + "/deflate");
    }
    std::vector<std::uint16_t> ports{port_};
    if (!options.tls.certificate.empty()) {
        tls_port_ = pickFreePort();
        ports.push_back(tls_port_);
        conf += "$SERVER[\"socket\"] == \"127.0.0.1:" + portText(tls_port_) +
                "\" {\n  ssl.engine = \"enable\"\n  ssl.pemfile = \"" + options.tls.certificate +
                "\"\n  ssl.privkey = \"" + options.tls.key + "\"\n}\n";
    }
    writeFile(state_dir_ + "/lighttpd.conf", conf);
    start({"/usr/sbin/lighttpd", "-D", "-f", state_dir_ + "/lighttpd.conf"}, ports);
}

bool CaddyServer::available() { return programsInstalled({"/usr/bin/caddy"}); }

CaddyServer::CaddyServer(const std::string& root) {
    port_ = pickFreePort();
    tls_port_ = pickFreePort();
    access_log_ = state_dir_ + "/access.log";
    const std::string site = "  bind 127.0.0.1\n  root * " + root +
                             "\n  encode gzip\n  file_server\n  log {\n    output file " + access_log_ +
                             "\n  }\n";
    // No admin endpoint, no redirect listener, no HTTP/3 (UDP), nothing
    // added to the machine's trust store; the CA and the certificates go
    // into the state directory.
    std::string conf = "{\n  admin off\n  auto_https disable_redirects\n  skip_install_trust\n"
                       "  storage file_system " + state_dir_ +
                       "/data\n  servers {\n    protocols h1 h2\n  }\n"
                       "  http_port " + portText(port_) + "\n  https_port " + portText(tls_port_) +
                       "\n}\n";
    conf += "http://127.0.0.1:" + portText(port_) + " {\n" + site + "}\n";
    conf += "https://localhost:" + portText(tls_port_) + " {\n  tls internal\n" + site + "}\n";
    writeFile(state_dir_ + "/Caddyfile", conf);
    // HOME and the XDG directories point into the state directory too, so
    // that Caddy's autosaved configuration lands there.
    start({"/usr/bin/env", "HOME=" + state_dir_, "XDG_DATA_HOME=" + state_dir_ + "/xdg",
           "XDG_CONFIG_HOME=" + state_dir_ + "/xdg", "/usr/bin/caddy", "run", "--config",
           state_dir_ + "/Caddyfile", "--adapter", "caddyfile"},
          {port_, tls_port_});
    // The https listener accepts before the internal CA has issued its
    // certificate; Caddy says when it has.
    const auto issued = [&] {
        try {
            return readFile(state_dir_ + "/server.log").find("certificate obtained successfully") !=
                   std::string::npos;
        } catch (const std::exception&) {
            return false;
        }
    };
    for (int i = 0; i < 500 && !issued(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!issued())
        throw std::runtime_error("caddy issued no certificate; see " + state_dir_ + "/server.log");
}

std::string CaddyServer::rootCertificate() const {
    return state_dir_ + "/data/pki/authorities/local/root.crt";
}

bool VarnishServer::available() {
    return programsInstalled({"/usr/sbin/varnishd", "/usr/bin/varnishncsa"});
}

VarnishServer::VarnishServer(std::uint16_t backend_port) {
    port_ = pickFreePort();
    start({"/usr/sbin/varnishd", "-F", "-n", state_dir_ + "/varnish", "-a",
           "127.0.0.1:" + portText(port_), "-b", "127.0.0.1:" + portText(backend_port), "-s",
           "malloc,16m", "-t", "1", "-p", "default_grace=0", "-p", "default_keep=0", "-T", "none"},
          {port_});
}

bool HaproxyServer::available() { return programsInstalled({"/usr/sbin/haproxy"}); }

HaproxyServer::HaproxyServer(const HaproxyOptions& options) {
    port_ = pickFreePort();
    const bool tls = !options.tls.certificate.empty();
    std::string conf = "global\n  maxconn 64\ndefaults\n  mode http\n  timeout connect 5s\n"
                       "  timeout client 30s\n  timeout server 30s\nfrontend front\n";
    if (tls) {
        run("cat '" + options.tls.certificate + "' '" + options.tls.key + "' > '" + state_dir_ +
            "/combined.pem'");
        tls_port_ = port_;
        conf += "  bind 127.0.0.1:" + portText(port_) + " ssl crt " + state_dir_ + "/combined.pem\n";
    } else {
        conf += "  bind 127.0.0.1:" + portText(port_) + "\n";
    }
    conf += "  default_backend farm\nbackend farm\n  balance roundrobin\n";
    for (std::size_t i = 0; i < options.backends.size(); ++i)
        conf += "  server s" + std::to_string(i) + " 127.0.0.1:" + portText(options.backends[i]) + "\n";
    writeFile(state_dir_ + "/haproxy.cfg", conf);
    start({"/usr/sbin/haproxy", "-db", "-f", state_dir_ + "/haproxy.cfg"}, {port_});
}

bool PythonHttpServer::available() { return programsInstalled({"/usr/bin/python3"}); }

PythonHttpServer::PythonHttpServer(const std::string& root) {
    port_ = pickFreePort();
    access_log_ = state_dir_ + "/server.log";
    start({"/usr/bin/python3", "-m", "http.server", "--bind", "127.0.0.1", "--directory", root,
           portText(port_)},
          {port_});
}

bool SquidServer::available() {
    return programsInstalled({"/usr/sbin/squid", "/usr/lib/squid/basic_ncsa_auth", "/usr/bin/htpasswd"});
}

SquidServer::SquidServer(const SquidOptions& options) {
    port_ = pickFreePort();
    access_log_ = state_dir_ + "/logs/access.log";
    // squid drops root for the proxy user, which writes the logs.
    std::filesystem::create_directories(state_dir_ + "/logs");
    ::chmod((state_dir_ + "/logs").c_str(), 0777);
    std::string conf = "http_port 127.0.0.1:" + portText(port_) + "\n";
    conf += "logformat qs %rm %ru %>Hs %un\n";
    conf += "pid_filename " + state_dir_ + "/logs/squid.pid\ncache_log " + state_dir_ +
            "/logs/cache.log\naccess_log stdio:" + access_log_ + " qs\n";
    conf += "cache deny all\ncache_mem 8 MB\ncoredump_dir " + state_dir_ +
            "/logs\nshutdown_lifetime 0 seconds\ncache_effective_user proxy\n";
    conf += "acl CONNECT method CONNECT\n";
    for (const std::uint16_t port : options.refused_connect_ports) {
        conf += "acl refused_port port " + portText(port) + "\n";
    }
    if (!options.refused_connect_ports.empty()) conf += "http_access deny CONNECT refused_port\n";
    if (!options.users.empty()) {
        const std::string passwords = state_dir_ + "/passwd";
        for (const auto& [user, password] : options.users) {
            run("htpasswd -b" + std::string(std::filesystem::exists(passwords) ? "" : "c") + " '" +
                passwords + "' '" + user + "' '" + password + "' 2>/dev/null");
        }
        ::chmod(passwords.c_str(), 0644);
        conf += "auth_param basic program /usr/lib/squid/basic_ncsa_auth " + passwords +
                "\nauth_param basic realm quillstead\nacl known proxy_auth REQUIRED\n"
                "http_access allow known\n";
    } else {
        conf += "http_access allow all\n";
    }
    conf += "http_access deny all\n";
    writeFile(state_dir_ + "/squid.conf", conf);
    start({"/usr/sbin/squid", "-N", "-f", state_dir_ + "/squid.conf"}, {port_});
}

}  // namespace qs::test
