// The built agent against Caddy 2.6 (Debian's caddy), started here with its
// own configuration: file_server with `encode gzip` on http, and on https
// with a certificate from Caddy's internal CA, so the agent's TLS client
// meets Go's TLS stack rather than OpenSSL's.
//
// What Caddy does with ETags and compression:
// - file_server's ETag is the file's modification time in whole seconds
//   and its size, both in base 36 ("tpu9653gq"); no inode, so copies of
//   one file with the same time agree across a farm. A file rewritten
//   within the same second at the same size keeps its ETag, and pollers
//   are told 304: publishing by renaming a new file into place with its
//   own modification time (as here) gives every payload its own ETag.
// - `encode gzip` compresses text on the fly and keeps the file's ETag
//   unchanged on the compressed answer. The ETag the agent records from a
//   compressed answer therefore matches on the way back and gives 304, and
//   no skip_identical is needed. Archives (application/gzip) go out as
//   they are.

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "support/agent_run.hpp"
#include "support/server_matrix.hpp"
#include "support/temp_dir.hpp"
#include "support/web_servers.hpp"
#include "support/shared_servers.hpp"

namespace qs::test {
namespace {

struct CaddyServers {
    static bool available() { return CaddyServer::available() && canUsePrivateMounts(); }
    static constexpr const char* kNeeds = "needs caddy, root and unshare -m";

    CaddyServers() {
        makeWorldReadable(dir.str());
        caddy = std::make_unique<CaddyServer>(site.www());
        // The agent trusts Caddy's internal root alone.
        shell("cp '" + caddy->rootCertificate() + "' '" + ca_dir.str() + "/caddy-root.pem'");
    }

    TempDir dir;
    TempDir ca_dir;
    PublishedSite site{dir / "site"};
    std::unique_ptr<CaddyServer> caddy;
};

class AgentCaddy : public SharedServersTest<CaddyServers> {
protected:
    TempDir agent_dir_;
};

// The access log's lines (one JSON object each) that hold every one of
// `parts`.
std::size_t countLogLines(const std::string& log, std::initializer_list<std::string> parts) {
    std::istringstream lines(log);
    std::size_t n = 0;
    for (std::string line; std::getline(lines, line);) {
        bool all = true;
        for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
        n += all ? 1 : 0;
    }
    return n;
}

TEST_F(AgentCaddy, FileServerWithGzipOverHttpAndHttps) {
    const CaddyServer& caddy = *shared_->caddy;
    runServerMatrix(shared_->site, agent_dir_.str(),
                    {
                        {"archive", caddy.url("/site.tar.gz")},
                        {"raw", caddy.url("/motd.txt"), true},
                        {"archive_tls", caddy.httpsUrl("/site.tar.gz")},
                        {"raw_tls", caddy.httpsUrl("/motd.txt"), true},
                    },
                    {.ca_dir = shared_->ca_dir.str()});
    // The text went out compressed in both installs over both listeners
    // (and was installed as published, which the scenario checked); the
    // ETag recorded from a compressed answer, sent back, gave 304.
    ASSERT_TRUE(caddy.logged("\"status\":304")) << caddy.accessLog();
    const std::string log = caddy.accessLog();
    EXPECT_EQ(countLogLines(log, {"\"uri\":\"/motd.txt\"", "\"status\":200",
                                  "\"Content-Encoding\":[\"gzip\"]"}),
              4u)
        << log;
    EXPECT_EQ(countLogLines(log, {"\"uri\":\"/motd.txt\"", "\"If-None-Match\"", "\"status\":304"}), 2u)
        << log;
    EXPECT_EQ(countLogLines(log, {"\"uri\":\"/site.tar.gz\"", "\"status\":304"}), 2u) << log;
    // The archive was not compressed a second time.
    EXPECT_EQ(countLogLines(log, {"\"uri\":\"/site.tar.gz\"", "Content-Encoding"}), 0u) << log;
    // https went through Caddy's own TLS, with the certificate its CA issued.
    EXPECT_EQ(countLogLines(log, {"\"uri\":\"/motd.txt\"", "\"server_name\":\"localhost\""}), 3u) << log;
}

}  // namespace
}  // namespace qs::test
