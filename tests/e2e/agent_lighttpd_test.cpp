// The built agent against lighttpd 1.4 (Debian's lighttpd with
// lighttpd-mod-deflate and lighttpd-mod-openssl), started here with its own
// configuration.
//
// What lighttpd does with ETags and compression:
// - Static files get a strong ETag that is a single decimal hash of the
//   file's inode, size and modification time ("1784616221"); a matching
//   If-None-Match gives 304.
// - lighttpd's default stat cache ("simple") trusts what it learnt from
//   stat() -- ETag, size, and the open file itself -- until its own clock
//   moves on to the next second, which here took up to about two seconds
//   of real time. A file replaced shortly after a request, even by a
//   rename with another inode and modification time, is served meanwhile
//   with the old ETag and the old contents, and a conditional request for
//   it gets 304; a poller sees the change on its next poll. The scenario
//   here polls again at once, so the server runs with
//   server.stat-cache-engine = "disable" and looks at the file every time.
// - The ETag and Last-Modified come only with files whose content type the
//   configuration names (mimetype.assign); any other file goes out as
//   application/octet-stream with no validator at all, so a poller fetches
//   and installs it every time unless it compares payloads.
// - mod_deflate compresses text on the fly and appends "-gzip" to the ETag
//   of the compressed answer, but unlike Apache it recognises that ETag in
//   If-None-Match: the restart gets 304, and skip_identical is not needed.
//   The compressed copies are kept in deflate.cache-dir under the ETag, so
//   a changed file is compressed anew.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "support/agent_run.hpp"
#include "support/nginx_server.hpp"
#include "support/server_matrix.hpp"
#include "support/temp_dir.hpp"
#include "support/web_servers.hpp"
#include "support/shared_servers.hpp"

namespace qs::test {
namespace {

struct LighttpdServers : PkiSite {
    static bool available() {
        return LighttpdServer::available() && LighttpdServer::tlsAvailable() &&
               canUsePrivateMounts();
    }
    static constexpr const char* kNeeds =
        "needs lighttpd with mod_deflate and mod_openssl, root and unshare -m";

    LighttpdServers() {
        plain = std::make_unique<LighttpdServer>(
            site.www(), LighttpdOptions{.tls = {pki.server_chain, pki.server_key}});
        deflate = std::make_unique<LighttpdServer>(site.www(), LighttpdOptions{.deflate = true});
        text_type_only =
            std::make_unique<LighttpdServer>(site.www(), LighttpdOptions{.text_type_only = true});
    }

    std::unique_ptr<LighttpdServer> plain;
    std::unique_ptr<LighttpdServer> deflate;
    std::unique_ptr<LighttpdServer> text_type_only;
};

class AgentLighttpd : public SharedServersTest<LighttpdServers> {
protected:
    TempDir agent_dir_;
};

TEST_F(AgentLighttpd, StaticFilesOverHttpAndHttps) {
    const LighttpdServer& lighttpd = *shared_->plain;
    runServerMatrix(shared_->site, agent_dir_.str(),
                    {
                        {"archive", lighttpd.url("/site.tar.gz")},
                        {"raw", lighttpd.url("/motd.txt"), true},
                        {"archive_tls", lighttpd.httpsUrl("/site.tar.gz")},
                        {"raw_tls", lighttpd.httpsUrl("/motd.txt"), true},
                    },
                    {.ca_dir = shared_->ca_dir.str()});
}

TEST_F(AgentLighttpd, DeflateSuffixIsRecognisedOnTheWayBack) {
    const LighttpdServer& lighttpd = *shared_->deflate;
    const auto runs = runServerMatrix(shared_->site, agent_dir_.str(),
                                      {
                                          {"raw", lighttpd.url("/motd.txt"), true},
                                      });
    // The answer came compressed, with the suffixed ETag; that ETag went
    // back as recorded and lighttpd answered 304 (the restart's "unchanged",
    // checked by the scenario).
    const std::size_t at = runs.first.err.find("etag=");
    ASSERT_NE(at, std::string::npos) << runs.first.err;
    const std::string etag = runs.first.err.substr(at + 5, runs.first.err.find('\n', at) - at - 5);
    EXPECT_TRUE(etag.ends_with("-gzip\"")) << etag;
    EXPECT_NE(runs.restart.err.find("[raw] cached etag: " + etag + "\n"), std::string::npos)
        << runs.restart.err;
    EXPECT_NE(runs.restart.err.find("info(http): 304 Not Modified\n"), std::string::npos)
        << runs.restart.err;
}

// An archive of a type lighttpd is not told about carries no ETag: every
// poll installs it, unless skip_identical sees the same payload.
TEST_F(AgentLighttpd, FileOfUnnamedTypeHasNoValidator) {
    const LighttpdServer& lighttpd = *shared_->text_type_only;
    const auto runs = runServerMatrix(shared_->site, agent_dir_.str(),
                                      {
                                          {"every_poll", lighttpd.url("/site.tar.gz"), false, "new version:"},
                                          {"compared", lighttpd.url("/site.tar.gz"), false,
                                           "unchanged (same payload, new etag)", "skip_identical = yes\n"},
                                          // The text has its type, and its ETag.
                                          {"raw", lighttpd.url("/motd.txt"), true},
                                      });
    // No ETag came, none was recorded, none was sent back.
    EXPECT_NE(runs.restart.err.find(" bytes, etag=\n"), std::string::npos) << runs.restart.err;
    EXPECT_EQ(runs.restart.err.find("[every_poll] cached etag:"), std::string::npos) << runs.restart.err;
    EXPECT_TRUE(readFile(agent_dir_ / "every_poll/.etag").empty());
}

}  // namespace
}  // namespace qs::test
