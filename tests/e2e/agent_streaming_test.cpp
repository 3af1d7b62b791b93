// The built agent killed with SIGKILL while a payload streams in: the next
// start clears what the killed install left and installs the payload.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "support/agent_run.hpp"
#include "support/archive.hpp"
#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Scratch entries of an install in progress: a staging directory or a spool.
bool isScratch(const std::string& name) {
    return name.starts_with(".staging-") || name.starts_with(".quillstead-spool-");
}

bool hasScratch(const std::string& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (isScratch(e.path().filename().string())) return true;
    return false;
}

std::string incompressible(std::size_t size) {
    std::mt19937 random(42);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

TEST(AgentStreaming, KilledMidInstallIsCleanedUpAtTheNextStart) {
    const std::string archive =
        makeTarGz({dirEntry("conf/"), fileEntry("conf/blob", incompressible(4 << 20)),
                   fileEntry("conf/app.conf", "streamed\n")});
    const std::string head = "HTTP/1.1 200 OK\r\netag: \"v2\"\r\ncontent-length: " +
                             std::to_string(archive.size()) + "\r\n\r\n";
    struct Case {
        const char* name;
        std::string keys;
        std::string installed_line;
        std::string installed_file;  // below target_dir
    };
    const Case cases[] = {
        {"versioned", "", "info(bundle): current -> v2", "v2/conf/app.conf"},
        {"direct", "mode = direct\n", " (direct)", "conf/app.conf"},
        {"raw", "format = raw\nfilename = payload.tgz\n", " (raw)", "payload.tgz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string target = dir / "t";
        const auto config = [&](const std::string& url) {
            writeFile(dir / "agent.conf", "[bundle.b]\nurl = " + url + "\ntarget_dir = " + target +
                                              "\npoll_interval = 3600\n" + c.keys);
            return dir / "agent.conf";
        };
        {
            ScriptedServer stalling({{script::request(),
                                      script::send(head + archive.substr(0, archive.size() / 2)),
                                      script::hold()}},
                                    {.lifetime = 20s});
            RunningProcess agent(quillsteadBinary(), {.args = {"-c", config(stalling.url("/b"))}});
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (!hasScratch(target) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(20ms);
            ASSERT_TRUE(hasScratch(target)) << "the install never started";
            agent.signal(SIGKILL);
            (void)agent.wait(10s);
        }
        ASSERT_TRUE(hasScratch(target));

        ScriptedServer whole({script::respond(head + archive)}, {.lifetime = 20s});
        RunningProcess agent(quillsteadBinary(), {.args = {"-c", config(whole.url("/b"))}});
        EXPECT_TRUE(agent.waitForStderr(c.installed_line, 15s));
        agent.signal(SIGTERM);
        const ProcessResult result = agent.wait(10s);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_FALSE(hasScratch(target)) << result.err;
        if (std::string(c.name) == "raw") {
            EXPECT_EQ(readFile(target + "/" + c.installed_file), archive);
        } else {
            EXPECT_EQ(readFile(target + "/" + c.installed_file), "streamed\n");
        }
    }
}

}  // namespace
}  // namespace qs::test
