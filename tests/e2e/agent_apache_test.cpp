// The built agent against Apache httpd 2.4 (Debian's apache2), started here
// with its own configuration.
//
// What Apache does with ETags:
// - Static files get a strong ETag from FileETag, by default MTime and Size
//   ("<size hex>-<mtime hex>"); a matching If-None-Match gives 304.
// - mod_deflate compresses on the fly and appends "-gzip" to the ETag of
//   the compressed answer. Sent back in If-None-Match, that ETag matches
//   nothing Apache compares it with, so every conditional request gets a
//   full 200 again: without skip_identical the agent installs the same
//   file on every poll.
// - `FileETag INode MTime Size` puts the file's inode number in the ETag,
//   so two servers of a farm with the same file give different ETags, and
//   a round robin in front of them makes each poll miss.

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

struct ApacheFarm : PkiSite {
    static bool available() {
        return ApacheServer::available() && HaproxyServer::available() && canUsePrivateMounts();
    }
    static constexpr const char* kNeeds = "needs apache2, haproxy, root and unshare -m";

    ApacheFarm() {
        plain = std::make_unique<ApacheServer>(
            site.www(), ApacheOptions{.tls = {pki.server_chain, pki.server_key}});
        deflate = std::make_unique<ApacheServer>(site.www(), ApacheOptions{.deflate = true});
    }

    std::unique_ptr<ApacheServer> plain;
    std::unique_ptr<ApacheServer> deflate;
};

class AgentApache : public SharedServersTest<ApacheFarm> {
protected:
    TempDir agent_dir_;
};

TEST_F(AgentApache, DefaultFileEtagOverHttpAndHttps) {
    const ApacheServer& apache = *shared_->plain;
    const auto runs = runServerMatrix(shared_->site, agent_dir_.str(),
                                      {
                                          {"archive", apache.url("/site.tar.gz")},
                                          {"raw", apache.url("/motd.txt"), true},
                                          {"archive_tls", apache.httpsUrl("/site.tar.gz")},
                                          {"raw_tls", apache.httpsUrl("/motd.txt"), true},
                                      },
                                      {.ca_dir = shared_->ca_dir.str()});
    // A strong ETag, sent back as recorded, matched.
    EXPECT_NE(apache.accessLog().find("GET /site.tar.gz HTTP/1.1 304 - \"\\\""), std::string::npos)
        << apache.accessLog();
}

TEST_F(AgentApache, DeflateSuffixDefeatsTheEtagUnlessThePayloadIsCompared) {
    const ApacheServer& apache = *shared_->deflate;
    const auto runs = runServerMatrix(shared_->site, agent_dir_.str(),
                                      {
                                          {"every_poll", apache.url("/motd.txt"), true, "new version:"},
                                          {"compared", apache.url("/motd.txt"), true,
                                           "unchanged (same payload, new etag)", "skip_identical = yes\n"},
                                      });
    // The compressed answer's ETag carries the suffix; the restart sent it
    // back as recorded and got the whole file again.
    const std::string first = runs.first.err;
    const std::size_t at = first.find("etag=");
    ASSERT_NE(at, std::string::npos) << first;
    const std::string etag = first.substr(at + 5, first.find('\n', at) - at - 5);
    EXPECT_TRUE(etag.ends_with("-gzip\"")) << etag;
    EXPECT_NE(runs.restart.err.find("[every_poll] cached etag: " + etag + "\n"), std::string::npos)
        << runs.restart.err;
    EXPECT_NE(runs.restart.err.find("info(http): 200 OK, " +
                                    std::to_string(PublishedSite::motdText(1).size()) +
                                    " bytes, etag=" + etag + "\n"),
              std::string::npos)
        << runs.restart.err;
}

// Two Apache servers with inode-based ETags, each with its own copy of the
// files (same contents, same times), behind haproxy's round robin: every
// poll lands on the other server and sees an ETag it did not record.
TEST_F(AgentApache, FarmWithInodeEtagsInstallsOnceOnlyWithSkipIdentical) {
    TempDir farm;
    makeWorldReadable(farm.str());
    shared_->site.publish(1);
    std::vector<std::unique_ptr<ApacheServer>> servers;
    std::vector<std::uint16_t> ports;
    for (const char* copy : {"a", "b"}) {
        ASSERT_TRUE(shell("cp -a '" + shared_->site.www() + "' '" + (farm / copy) + "'"));
        servers.push_back(std::make_unique<ApacheServer>(
            farm / copy, ApacheOptions{.file_etag = "INode MTime Size"}));
        ports.push_back(servers.back()->port());
    }
    const HaproxyServer balancer(HaproxyOptions{.backends = ports});
    // One bundle per run, so that the balancer alternates between the
    // servers from one poll to the next.
    const std::string hooks = agent_dir_ / "hooks";
    const auto configFor = [&](const std::string& name, const std::string& keys) {
        const std::string path = agent_dir_ / (name + ".conf");
        writeFile(path, "[bundle." + name + "]\nurl = " + balancer.url("/site.tar.gz") +
                            "\ntarget_dir = " + (agent_dir_ / name) + "\npost_sync = echo " + name +
                            " >> " + hooks + "\n" + keys);
        return path;
    };
    const std::string plain = configFor("plain", "");
    const std::string compared = configFor("compared", "skip_identical = yes\n");

    constexpr int kPolls = 10;
    std::string log;
    for (const std::string& config : {plain, compared}) {
        for (int poll = 0; poll < kPolls; ++poll) {
            const ProcessResult run = runProcess(quillsteadBinary(), {.args = {"-c", config, "once"}});
            ASSERT_EQ(run.exit_status, 0) << run.err;
            log += run.err;
        }
    }
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
        return n;
    };
    EXPECT_EQ(count(log, "[plain] new version: "), static_cast<std::size_t>(kPolls)) << log;
    EXPECT_EQ(count(readFile(hooks), "plain\n"), static_cast<std::size_t>(kPolls));
    EXPECT_EQ(count(log, "[compared] new version: "), 1u) << log;
    EXPECT_EQ(count(readFile(hooks), "compared\n"), 1u);
    EXPECT_EQ(count(log, "info(quillstead): [compared] unchanged (same payload, new etag)\n"),
              static_cast<std::size_t>(kPolls - 1))
        << log;
    // The two servers' ETags for the one file differ.
    EXPECT_NE(servers[0]->accessLog().substr(servers[0]->accessLog().rfind(' ')),
              servers[1]->accessLog().substr(servers[1]->accessLog().rfind(' ')));
}

}  // namespace
}  // namespace qs::test
