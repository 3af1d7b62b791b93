#include "support/agent_run.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include "support/temp_dir.hpp"

namespace qs::test {

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

void makeTarGz(const std::string& dir, const std::string& archive) {
    const std::string temp = archive + ".part";
    if (!shell("tar -czf '" + temp + "' -C '" + dir + "' . && mv '" + temp + "' '" + archive + "'"))
        throw std::runtime_error("tar failed for " + dir);
}

void setTimesAhead(const std::string& path, int seconds) {
    struct timeval times[2];
    ::gettimeofday(&times[0], nullptr);
    times[0].tv_sec += seconds;
    times[1] = times[0];
    if (::utimes(path.c_str(), times) != 0) throw std::runtime_error("utimes failed for " + path);
}

bool waitForFile(const std::string& path, const std::string& contents,
                 std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        if (std::filesystem::exists(path, ec)) {
            try {
                if (contents.empty() || readFile(path) == contents) return true;
            } catch (const std::exception&) {
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string linkTarget(const std::string& path) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(path, ec);
    return ec ? std::string() : target.string();
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
        // The agent's lock file is in every target it used and holds
        // nothing installed; the lock's own tests look for it by name.
        if (entry.path().filename() == ".lock") continue;
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool canUsePrivateMounts() {
    return ::geteuid() == 0 && shell("unshare -m --propagation private true 2>/dev/null");
}

std::string unshareProgram() { return "/usr/bin/unshare"; }

RunOptions agentWithCertificates(const std::string& ca_dir, const std::string& config) {
    RunOptions options;
    options.args = {"-m", "--propagation", "private", "/bin/sh", "-c",
                    "mount --bind \"$0\" /etc/ssl/certs && exec \"$1\" -c \"$2\"", ca_dir,
                    quillsteadBinary(), config};
    return options;
}

RunOptions agentWithCertificates(const std::string& ca_dir, const std::string& config,
                                 const std::vector<std::string>& environment,
                                 const std::vector<std::string>& arguments) {
    // The assignments are the test's own texts, without single quotes.
    std::string assignments;
    for (const std::string& entry : environment) assignments += " '" + entry + "'";
    RunOptions options;
    options.args = {"-m", "--propagation", "private", "/bin/sh", "-c",
                    "mount --bind \"$0\" /etc/ssl/certs && agent=$1 config=$2 && shift 2 && "
                    "exec env" + assignments + " \"$agent\" -c \"$config\" \"$@\"",
                    ca_dir, quillsteadBinary(), config};
    options.args.insert(options.args.end(), arguments.begin(), arguments.end());
    return options;
}

}  // namespace qs::test
