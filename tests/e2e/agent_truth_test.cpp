// What status, the records and the metrics say after each way a cycle can
// go wrong, with the built agent against real sockets, hooks, a stopped
// daemon and a full file system: the status word, the exit statuses, the
// metric and the reason, case by case.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/agent_run.hpp"
#include "support/archive.hpp"
#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/temp_dir.hpp"
#include "util/json.hpp"

namespace qs::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ok(std::string_view etag, std::string_view body) {
    return "HTTP/1.1 200 OK\r\netag: " + std::string(etag) +
           "\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

const std::string kNotModified = "HTTP/1.1 304 Not Modified\r\ncontent-length: 0\r\n\r\n";
const std::string kNotFound = "HTTP/1.1 404 Not Found\r\ncontent-length: 0\r\n\r\n";
const std::string kForbidden = "HTTP/1.1 403 Forbidden\r\ncontent-length: 0\r\n\r\n";

bool goodWord(std::string_view word) {
    return word == "installed" || word == "unchanged" || word == "pinned";
}

std::string site(const std::string& text) { return makeTarGz({fileEntry("index.html", text)}); }

// What `status` shows of the one bundle, and how it ended.
struct Shown {
    int exit_status = -1;
    std::string out;
    std::string word;    // the STATE column
    std::string reason;  // the LAST ERROR column
    std::string version;
    // The same from `status --json`.
    int json_exit_status = -1;
    std::string json_state;
    std::string json_reason;
    std::string json_version;
};

class AgentTruth : public ::testing::Test {
public:
    // One bundle "b" below target_dir t, with state_dir and metrics_file.
    std::string config(const std::string& url, const std::string& extra) {
        const std::string path = dir_ / "agent.conf";
        writeFile(path, "[global]\nstate_dir = " + (dir_ / "state") + "\nmetrics_file = " +
                            metricsPath() + "\n[bundle.b]\nurl = " + url + "\ntarget_dir = " +
                            target() + "\n" + extra);
        return path;
    }
    [[nodiscard]] std::string target() const { return dir_ / "t"; }
    [[nodiscard]] std::string metricsPath() const { return dir_ / "m.prom"; }
    [[nodiscard]] std::string conf() const { return dir_ / "agent.conf"; }

    static ProcessResult run(const std::vector<std::string>& args) {
        RunOptions options;
        options.args = args;
        options.timeout = 30s;
        return runProcess(quillsteadBinary(), options);
    }

    ProcessResult once() { return run({"-c", conf(), "once"}); }

    Shown status() {
        Shown shown;
        const ProcessResult plain = run({"-c", conf(), "status"});
        shown.exit_status = plain.exit_status;
        shown.out = plain.out;
        static const std::regex gap(" {2,}");
        const std::size_t row = plain.out.find("\nb ");
        if (row != std::string::npos) {
            const std::string line = plain.out.substr(row + 1, plain.out.find('\n', row + 1) - row - 1);
            std::vector<std::string> cells;
            for (std::sregex_token_iterator it(line.begin(), line.end(), gap, -1);
                 it != std::sregex_token_iterator(); ++it) {
                cells.push_back(*it);
            }
            if (cells.size() == 8) {
                shown.word = cells[1];
                shown.version = cells[2];
                shown.reason = cells[7];
            }
        }
        const ProcessResult json = run({"-c", conf(), "status", "--json"});
        shown.json_exit_status = json.exit_status;
        if (const auto object = parseFlatJsonObject(json.out)) {
            const auto text = [&object](std::string_view name) {
                const auto it = object->find(name);
                return it == object->end() || !it->second ? std::string("-") : *it->second;
            };
            shown.json_state = text("state");
            shown.json_reason = text("last_error");
            shown.json_version = text("version");
        }
        return shown;
    }

    TempDir dir_;
};

TEST_F(AgentTruth, EveryWayACycleEndsIsToldAsItHappened) {
    const std::string payload = site("one");
    const std::string payload_two = site("two");
    struct Case {
        std::string_view name;
        // Writes the configuration and runs the agent; returns the exit
        // status of "once", or -1 where the case runs the daemon.
        std::function<int(AgentTruth&)> run;
        std::string word;
        int status_exit;
        // Lines the metrics file must hold ("{port}" is the proxy's port).
        std::vector<std::string> metrics;
        // The reason `status` gives, or a piece of its output.
        std::string reason;
        std::string version = "-";
    };
    ScriptedServer server({script::respond(ok("\"r1\"", payload))}, {.repeat_last = true, .lifetime = 60s});
    ScriptedServer missing({script::respond(kNotFound)}, {.repeat_last = true, .lifetime = 60s});
    ScriptedServer proxy({script::respond(kForbidden)}, {.repeat_last = true, .lifetime = 60s});
    const std::string proxy_at = "127.0.0.1:" + std::to_string(proxy.port());
    const Case cases[] = {
        {"a post_sync that exits 3",
         [&](AgentTruth& t) {
             t.config(server.url("/site.tgz"), "post_sync = exit 3\n");
             return t.once().exit_status;
         },
         "hook_failed", 2,
         {"quillstead_bundle_cycles_total{bundle=\"b\",outcome=\"hook_failed\"} 1",
          "quillstead_hook_runs_total{bundle=\"b\",hook=\"post_sync\",outcome=\"failed\"} 1",
          "quillstead_bundle_info{bundle=\"b\",version=\"r1\"} 1",
          "quillstead_bundle_consecutive_failures{bundle=\"b\"} 1"},
         "post_sync exited with code 3", "r1"},
        {"a post_sync that runs out of time",
         [&](AgentTruth& t) {
             t.config(server.url("/site.tgz"), "post_sync = sleep 30\nhook_timeout = 1\n");
             return t.once().exit_status;
         },
         "hook_failed", 2,
         {"quillstead_hook_runs_total{bundle=\"b\",hook=\"post_sync\",outcome=\"failed\"} 1"},
         "post_sync timed out after 1 seconds", "r1"},
        // The daemon polls again every second: the 304s that follow the
        // refusal keep it visible.
        {"a version pre_switch refuses, then 304s",
         [&](AgentTruth& t) {
             ScriptedServer refused({script::respond(ok("\"r2\"", payload_two)),
                                     script::respond(kNotModified)},
                                    {.repeat_last = true, .lifetime = 60s});
             t.config(refused.url("/site.tgz"), "pre_switch = exit 1\npoll_interval = 1\n");
             RunOptions options;
             options.args = {"-c", t.conf()};
             RunningProcess daemon(quillsteadBinary(), options);
             EXPECT_TRUE(daemon.waitForStderr("[b] version r2 still refused by pre_switch", 20s))
                 << daemon.stderrSoFar();
             EXPECT_TRUE(waitForFile(t.metricsPath(), ""));
             daemon.signal(SIGTERM);
             EXPECT_EQ(daemon.wait(20s).exit_status, 0);
             return -1;
         },
         "refused", 2,
         {"quillstead_hook_runs_total{bundle=\"b\",hook=\"pre_switch\",outcome=\"refused\"} 1",
          "quillstead_bundle_cycles_total{bundle=\"b\",outcome=\"unchanged\"} 0",
          "quillstead_bundle_cycles_total{bundle=\"b\",outcome=\"installed\"} 0"},
         "pre_switch refused version r2: exited with code 1"},
        // Within one daemon the pinned payload's ETag is sent again: the
        // 304s that follow still say pinned, not refused.
        {"a pinned bundle offered a new version, then 304s",
         [&](AgentTruth& t) {
             ScriptedServer first({script::respond(ok("\"r1\"", payload))});
             t.config(first.url("/site.tgz"), "keep_versions = 2\n");
             EXPECT_EQ(t.once().exit_status, 0);
             const ProcessResult pinned = run({"-c", t.conf(), "pin", "b", "r1"});
             EXPECT_EQ(pinned.exit_status, 0) << pinned.err;
             ScriptedServer offered({script::respond(ok("\"r2\"", payload_two)),
                                     script::respond(kNotModified)},
                                    {.repeat_last = true, .lifetime = 60s});
             t.config(offered.url("/site.tgz"), "keep_versions = 2\npoll_interval = 1\n");
             RunOptions options;
             options.args = {"-c", t.conf()};
             RunningProcess daemon(quillsteadBinary(), options);
             EXPECT_TRUE(daemon.waitForStderr(
                 "304 Not Modified\ninfo(quillstead): [b] pinned to r1: not installing r2\n", 20s))
                 << daemon.stderrSoFar();
             EXPECT_TRUE(waitForFile(t.metricsPath(), ""));
             daemon.signal(SIGTERM);
             EXPECT_EQ(daemon.wait(20s).exit_status, 0);
             return -1;
         },
         // 2 only because the daemon has stopped since.
         "pinned", 2,
         {"quillstead_bundle_cycles_total{bundle=\"b\",outcome=\"refused\"} 0",
          "quillstead_bundle_cycles_total{bundle=\"b\",outcome=\"installed\"} 0"},
         "-", "r1"},
        {"a rollback after two installs",
         [&](AgentTruth& t) {
             ScriptedServer first({script::respond(ok("\"r1\"", payload))});
             t.config(first.url("/site.tgz"), "keep_versions = 2\n");
             EXPECT_EQ(t.once().exit_status, 0);
             ScriptedServer second({script::respond(ok("\"r2\"", payload_two))});
             t.config(second.url("/site.tgz"), "keep_versions = 2\n");
             EXPECT_EQ(t.once().exit_status, 0);
             const ProcessResult rolled = run({"-c", t.conf(), "rollback", "b"});
             EXPECT_EQ(rolled.exit_status, 0) << rolled.err;
             // The next cycle's record and metrics name what `current` names.
             ScriptedServer same({script::respond(kNotModified)});
             t.config(same.url("/site.tgz"), "keep_versions = 2\n");
             return t.once().exit_status;
         },
         "unchanged", 0,
         {"quillstead_bundle_info{bundle=\"b\",version=\"r1\"} 1",
          "quillstead_bundle_consecutive_failures{bundle=\"b\"} 0"},
         "-", "r1"},
        {"a daemon that was stopped",
         [&](AgentTruth& t) {
             t.config(server.url("/site.tgz"), "poll_interval = 3600\n");
             RunOptions options;
             options.args = {"-c", t.conf()};
             RunningProcess daemon(quillsteadBinary(), options);
             EXPECT_TRUE(daemon.waitForStderr("[b] installed version r1", 20s)) << daemon.stderrSoFar();
             EXPECT_TRUE(waitForFile(t.metricsPath(), ""));
             daemon.signal(SIGTERM);
             EXPECT_EQ(daemon.wait(20s).exit_status, 0);
             return -1;
         },
         "installed", 2,
         {"quillstead_bundle_cycles_total{bundle=\"b\",outcome=\"installed\"} 1",
          "quillstead_config_last_reload_successful 1"},
         "agent not running (pid ", "r1"},
        {"a 404",
         [&](AgentTruth& t) {
             t.config(missing.url("/site.tgz"), "");
             return t.once().exit_status;
         },
         "fetch_failed", 2,
         {"quillstead_bundle_cycles_total{bundle=\"b\",outcome=\"fetch_failed\"} 1",
          "quillstead_bundle_consecutive_failures{bundle=\"b\"} 1"},
         "fetch failed: HTTP 404"},
        {"a refused connection",
         [&](AgentTruth& t) {
             t.config("http://127.0.0.1:9/site.tgz", "");
             return t.once().exit_status;
         },
         "fetch_failed", 2,
         {"quillstead_bundle_cycles_total{bundle=\"b\",outcome=\"fetch_failed\"} 1"},
         "fetch failed: connection refused by 127.0.0.1:9"},
        {"a proxy that answers 403",
         [&](AgentTruth& t) {
             t.config("https://127.0.0.1:9/site.tgz", "proxy = http://" + proxy_at + "\n");
             return t.once().exit_status;
         },
         "fetch_failed", 2,
         {"quillstead_bundle_cycles_total{bundle=\"b\",outcome=\"fetch_failed\"} 1"},
         "fetch failed: proxy " + proxy_at + " refused: HTTP 403"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "state");
        fs::remove_all(target());
        fs::remove(metricsPath());
        const int once_exit = c.run(*this);
        if (once_exit != -1) {
            EXPECT_EQ(once_exit, goodWord(c.word) ? 0 : 2);
        }
        const Shown shown = status();
        EXPECT_EQ(shown.word, c.word) << shown.out;
        EXPECT_EQ(shown.exit_status, c.status_exit) << shown.out;
        EXPECT_EQ(shown.json_exit_status, c.status_exit);
        EXPECT_EQ(shown.version, c.version) << shown.out;
        EXPECT_EQ(shown.json_version, c.version);
        if (c.reason.starts_with("agent not running")) {
            EXPECT_TRUE(shown.out.starts_with(c.reason)) << shown.out;
        } else {
            EXPECT_EQ(shown.reason, c.reason) << shown.out;
            EXPECT_EQ(shown.json_reason, c.reason);
            EXPECT_EQ(shown.json_state, c.word);
        }
        const std::string metrics = readFile(metricsPath());
        for (const std::string& line : c.metrics) {
            EXPECT_NE(metrics.find("\n" + line + "\n"), std::string::npos) << line << "\n" << metrics;
        }
    }
}

// agent.json names the daemon while it runs; a process ID that exists but
// holds no lock is not the agent, and a bundle not polled for longer than
// its schedule allows is stale.
TEST_F(AgentTruth, ARunningAgentIsToldFromAStoppedOneAndAStaleBundle) {
    ScriptedServer server({script::respond(kNotModified)}, {.repeat_last = true, .lifetime = 60s});
    config(server.url("/site.tgz"), "poll_interval = 30\n");
    RunOptions options;
    options.args = {"-c", "agent.conf"};
    options.working_dir = dir_.str();
    RunningProcess daemon(quillsteadBinary(), options);
    ASSERT_TRUE(daemon.waitForStderr("[b] unchanged", 20s)) << daemon.stderrSoFar();
    ASSERT_TRUE(waitForFile(metricsPath(), ""));
    const std::string agent_json = readFile(dir_ / "state/agent.json");
    const auto record = parseFlatJsonObject(agent_json);
    ASSERT_TRUE(record) << agent_json;
    EXPECT_EQ(record->at("pid"), std::to_string(daemon.pid()));
    // The configuration file as an absolute path, whatever the agent was given.
    EXPECT_EQ(record->at("config"), conf());
    EXPECT_TRUE(record->at("started") && record->at("last_pass")) << agent_json;
    Shown running = status();
    EXPECT_EQ(running.exit_status, 0) << running.out;
    EXPECT_EQ(running.word, "unchanged");
    EXPECT_TRUE(running.out.starts_with("BUNDLE ")) << running.out;

    // This test's own process exists but holds no lock on agent.lock.
    std::string forged = agent_json;
    forged.replace(forged.find(std::to_string(daemon.pid())), std::to_string(daemon.pid()).size(),
                   std::to_string(::getpid()));
    writeFile(dir_ / "state/agent.json", forged);
    Shown impostor = status();
    EXPECT_EQ(impostor.exit_status, 2) << impostor.out;
    EXPECT_TRUE(impostor.out.starts_with("agent not running (pid " + std::to_string(::getpid()) +
                                         ", last pass "))
        << impostor.out;
    writeFile(dir_ / "state/agent.json", agent_json);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(20s).exit_status, 0);
    Shown stopped = status();
    EXPECT_EQ(stopped.exit_status, 2) << stopped.out;
    EXPECT_TRUE(stopped.out.starts_with("agent not running (pid " + std::to_string(daemon.pid())))
        << stopped.out;
    // Standard output of --json stays one record a line.
    EXPECT_EQ(stopped.json_state, "unchanged");

    // Last polled 71 s ago: twice the 30 s interval and the grace are past.
    fs::remove(dir_ / "state/agent.json");
    const std::string bundle_json = readFile(dir_ / "state/b.json");
    const std::regex attempt("\"last_attempt\":([0-9]+)");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(bundle_json, found, attempt)) << bundle_json;
    const long long old = std::stoll(found[1]) - 71;
    writeFile(dir_ / "state/b.json",
              std::regex_replace(bundle_json, attempt, "\"last_attempt\":" + std::to_string(old)));
    Shown stale = status();
    EXPECT_EQ(stale.word, "stale") << stale.out;
    EXPECT_EQ(stale.json_state, "stale");
    EXPECT_EQ(stale.exit_status, 2);
    EXPECT_EQ(stale.json_exit_status, 2);
}

// A full file system: the target is a tmpfs of 64 KiB in a mount namespace
// of the agent's own, and the payload unpacks to a megabyte.
TEST_F(AgentTruth, AFullFileSystemIsNamed) {
    if (!canUsePrivateMounts()) GTEST_SKIP() << "mounting a tmpfs needs root and unshare";
    const std::string payload = makeTarGz({fileEntry("big", std::string(1 << 20, 'x'))});
    ScriptedServer server({script::respond(ok("\"r1\"", payload))}, {.repeat_last = true});
    config(server.url("/site.tgz"), "");
    fs::create_directory(target());
    RunOptions options;
    options.args = {"-m", "--propagation", "private", "/bin/sh", "-c",
                    "mount -t tmpfs -o size=64k tmpfs \"$0\" && exec \"$1\" -c \"$2\" once", target(),
                    quillsteadBinary(), conf()};
    options.timeout = 30s;
    const ProcessResult r = runProcess(unshareProgram(), options);
    EXPECT_EQ(r.exit_status, 2) << r.err;
    EXPECT_NE(r.err.find("error(quillstead): [b] bundle apply failed: error.NoSpaceLeft\n"),
              std::string::npos)
        << r.err;
    const Shown shown = status();
    EXPECT_EQ(shown.word, "apply_failed") << shown.out;
    EXPECT_EQ(shown.exit_status, 2);
    EXPECT_EQ(shown.reason, "bundle apply failed: error.NoSpaceLeft") << shown.out;
    EXPECT_EQ(shown.json_reason, shown.reason);
    const std::string metrics = readFile(metricsPath());
    EXPECT_NE(metrics.find("\nquillstead_bundle_cycles_total{bundle=\"b\",outcome=\"apply_failed\"} 1\n"),
              std::string::npos)
        << metrics;
    // Nothing of the payload is left on the real disk below the mount.
    EXPECT_EQ(listDir(target()), std::vector<std::string>{});
}

}  // namespace
}  // namespace qs::test
