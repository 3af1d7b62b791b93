// "once" run by the built agent against loopback servers: one cycle per
// bundle in configuration order, and an exit status a script can act on.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

constexpr ScriptedServerOptions kRepeating{.repeat_last = true, .lifetime = 20s};

// One bundle of a case: which server it polls.
enum class Source { fresh_payload, not_modified, refused };

struct Case {
    std::string_view name;
    std::vector<Source> bundles;
    int exit_status;
};

TEST(OnceCommand, OneCycleEachThenTheExitStatus) {
    ScriptedServer fresh({script::respond(
                             "HTTP/1.1 200 OK\r\nETag: \"r7\"\r\ncontent-length: 2\r\n\r\nok")},
                         kRepeating);
    ScriptedServer unchanged({script::respond("HTTP/1.1 304 Not Modified\r\n\r\n")}, kRepeating);
    const Case cases[] = {
        {"every bundle installed or unchanged", {Source::fresh_payload, Source::not_modified}, 0},
        {"one refused connection among good bundles",
         {Source::fresh_payload, Source::refused, Source::not_modified}, 2},
        {"only a failure", {Source::refused}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string conf;
        std::string expected_outcomes;
        for (std::size_t i = 0; i < c.bundles.size(); ++i) {
            const std::string name = "b" + std::to_string(i);
            std::string url;
            switch (c.bundles[i]) {
            case Source::fresh_payload:
                url = fresh.url("/" + name);
                expected_outcomes += "info(quillstead): [" + name + "] new version: r7 (2 bytes)\n";
                break;
            case Source::not_modified:
                url = unchanged.url("/" + name);
                expected_outcomes += "info(quillstead): [" + name + "] unchanged\n";
                break;
            case Source::refused:
                // Port 9 (discard) has no listener on a test machine.
                url = "http://127.0.0.1:9/" + name;
                expected_outcomes += "error(quillstead): [" + name + "] fetch failed: connection refused by 127.0.0.1:9\n";
                break;
            }
            conf += "[bundle." + name + "]\nurl = " + url + "\ntarget_dir = " + (dir / name) +
                    "\nformat = raw\nfilename = f\nmode = direct\npoll_interval = 3600\n";
        }
        writeFile(dir / "q.conf", conf);
        RunOptions options;
        options.args = {"-c", dir / "q.conf", "once"};
        options.timeout = 15s;
        const auto result = runProcess(quillsteadBinary(), options);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.exit_status, c.exit_status) << result.err;
        EXPECT_EQ(result.out, "");
        // The outcome lines come in configuration order; nothing waits for
        // a second pass and no shutdown is logged.
        std::string outcomes;
        std::size_t start = 0;
        for (auto end = result.err.find('\n'); end != std::string::npos;
             end = result.err.find('\n', start)) {
            const std::string line = result.err.substr(start, end + 1 - start);
            if (line.find("] new version: ") != std::string::npos ||
                line.ends_with("] unchanged\n") || line.find("] fetch failed: ") != std::string::npos)
                outcomes += line;
            start = end + 1;
        }
        EXPECT_EQ(outcomes, expected_outcomes) << result.err;
        EXPECT_EQ(result.err.find("shutdown complete"), std::string::npos);
    }
}

TEST(OnceCommand, UnusableConfigurationIsStatusOne) {
    TempDir dir;
    writeFile(dir / "empty.conf", "[global]\n");
    for (const std::string& path : {dir / "empty.conf", dir / "missing.conf", dir.str()}) {
        SCOPED_TRACE(path);
        RunOptions options;
        options.args = {"once", "-c", path};
        const auto result = runProcess(quillsteadBinary(), options);
        EXPECT_EQ(result.exit_status, 1) << result.err;
    }
}

}  // namespace
}  // namespace qs::test
