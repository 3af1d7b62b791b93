// The agent under a service manager: notifications over NOTIFY_SOCKET and
// syslog priorities on lines that go to the journal.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"
#include "support/scripted_server.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

constexpr ScriptedServerOptions kRepeating{.repeat_last = true, .lifetime = 40s};
const std::string kNotModified = "HTTP/1.1 304 Not Modified\r\n\r\n";

std::string rawSection(const std::string& name, const std::string& url, const std::string& dir) {
    return "[bundle." + name + "]\nurl = " + url + "\ntarget_dir = " + dir +
           "\nformat = raw\nfilename = f\nmode = direct\npoll_interval = 3600\n";
}

// The manager's end: a datagram socket bound in the test's directory.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    [[nodiscard]] bool bound() const { return bound_; }

    // The next message, or none within `limit`.
    std::optional<std::string> next(std::chrono::milliseconds limit) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }

    // Messages until one starts with `prefix`; that one, or none in time.
    std::optional<std::string> until(const std::string& prefix, std::chrono::milliseconds limit,
                                     std::vector<std::string>* skipped = nullptr) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left <= 0ms) return std::nullopt;
            auto message = next(left);
            if (!message) return std::nullopt;
            if (message->starts_with(prefix)) return message;
            if (skipped != nullptr) skipped->push_back(*message);
        }
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

// The agent run through env(1), so that it gets the manager's variables
// and nothing of the test's own changes.
RunOptions underManager(const std::vector<std::string>& variables, const std::vector<std::string>& args) {
    RunOptions options;
    options.args = variables;
    options.args.push_back(quillsteadBinary());
    options.args.insert(options.args.end(), args.begin(), args.end());
    return options;
}

TEST(ServiceManager, NotifiesReadinessStatusWatchdogReloadAndStop) {
    ScriptedServer fine({script::respond(kNotModified)}, kRepeating);
    TempDir dir;
    const std::string conf = dir / "q.conf";
    // Nothing listens on port 9: "down" fails at once.
    writeFile(conf, rawSection("fine", fine.url("/f"), dir / "f") +
                        rawSection("down", "http://127.0.0.1:9/d", dir / "d"));
    NotifySocket manager(dir / "notify");
    ASSERT_TRUE(manager.bound());
    RunningProcess agent("/usr/bin/env",
                         underManager({"NOTIFY_SOCKET=" + (dir / "notify"), "WATCHDOG_USEC=1000000"},
                                      {"-c", conf}));

    // Ready only once the first pass polled every bundle, with how they stand.
    const auto ready = manager.until("READY=1", 10s);
    ASSERT_TRUE(ready) << agent.stderrSoFar();
    EXPECT_EQ(*ready, "READY=1\nSTATUS=2 bundle(s): 1 ok, 1 failing: down");
    EXPECT_EQ(fine.requests().size(), 1u);
    EXPECT_NE(agent.stderrSoFar().find("[down] fetch failed"), std::string::npos);

    // Keep-alives at half the interval, from the idle loop; no status
    // message for passes that polled nothing.
    std::vector<std::string> between;
    const auto start = std::chrono::steady_clock::now();
    int pings = 0;
    while (pings < 3) {
        ASSERT_TRUE(manager.until("WATCHDOG=1", 3s, &between)) << agent.stderrSoFar();
        ++pings;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_TRUE(between.empty()) << between.front();

    agent.signal(SIGHUP);
    std::vector<std::string> skipped;
    const auto reloading = manager.until("RELOADING=1", 10s);
    ASSERT_TRUE(reloading) << agent.stderrSoFar();
    EXPECT_TRUE(reloading->starts_with("RELOADING=1\nMONOTONIC_USEC=")) << *reloading;
    ASSERT_TRUE(manager.until("READY=1", 10s, &skipped)) << agent.stderrSoFar();
    for (const std::string& m : skipped) EXPECT_EQ(m, "WATCHDOG=1");

    agent.signal(SIGTERM);
    ASSERT_TRUE(manager.until("STOPPING=1", 10s)) << agent.stderrSoFar();
    EXPECT_EQ(agent.wait(10s).exit_status, 0);
}

TEST(ServiceManager, WithoutTheVariablesNothingIsSent) {
    // A watchdog meant for another process is not this one's to feed.
    ScriptedServer fine({script::respond(kNotModified)}, kRepeating);
    TempDir dir;
    const std::string conf = dir / "q.conf";
    writeFile(conf, rawSection("fine", fine.url("/f"), dir / "f"));
    NotifySocket manager(dir / "notify");
    ASSERT_TRUE(manager.bound());
    RunningProcess agent("/usr/bin/env", underManager({"NOTIFY_SOCKET=" + (dir / "notify"),
                                                       "WATCHDOG_USEC=200000", "WATCHDOG_PID=1"},
                                                      {"-c", conf}));
    ASSERT_TRUE(manager.until("READY=1", 10s)) << agent.stderrSoFar();
    std::vector<std::string> later;
    EXPECT_FALSE(manager.until("WATCHDOG=1", 1500ms, &later));
    EXPECT_TRUE(later.empty());
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait(10s).exit_status, 0);
}

// What the lines look like when standard error is the journal's stream
// (JOURNAL_STREAM names its device and inode), and log_level's filter.
TEST(ServiceManager, JournalLinesCarryTheirPriorityAndLogLevelFilters) {
    ScriptedServer fine({script::respond(kNotModified)}, kRepeating);
    TempDir dir;
    struct Case {
        std::string name;
        bool journal;
        std::string level;  // empty: the default
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const std::vector<Case> cases = {
        {"journal", true, "",
         {"<6>info(quillstead): [fine] unchanged\n", "<3>error(quillstead): [down] fetch failed: ",
          "<4>warning(config): bundle 'fine': io_timeout = 'x' is not a number; ignored"},
         {"\ninfo(", "\nerror("}},
        {"plain stream", false, "", {"\ninfo(quillstead): [fine] unchanged\n", "\nerror(quillstead): [down]"}, {"<6>", "<3>"}},
        {"errors only", true, "error", {"<3>error(quillstead): [down] fetch failed: "}, {"<6>", "<4>"}},
        {"warnings", false, "warning", {"\nerror(quillstead): [down]"}, {"info("}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string conf = dir / (c.name + ".conf");
        std::string text;
        if (!c.level.empty()) text += "[global]\nlog_level = " + c.level + "\n";
        text += rawSection("fine", fine.url("/f"), dir / "f") + "io_timeout = x\n" +
                rawSection("down", "http://127.0.0.1:9/d", dir / "d");
        writeFile(conf, text);
        RunOptions options;
        // The journal is told apart by the stream standard error is, so the
        // variable is computed from the descriptor the agent inherits.
        const std::string stream = c.journal ? "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) " : "";
        options.args = {"-c", stream + "exec \"$0\" -c \"$1\" once", quillsteadBinary(), conf};
        const ProcessResult r = runProcess("/bin/sh", options);
        EXPECT_EQ(r.exit_status, 2) << r.err;
        const std::string err = "\n" + r.err;
        for (const std::string& p : c.present) EXPECT_NE(err.find(p), std::string::npos) << p << "\n" << r.err;
        for (const std::string& a : c.absent) EXPECT_EQ(err.find(a), std::string::npos) << a << "\n" << r.err;
    }
}

}  // namespace
}  // namespace qs::test
