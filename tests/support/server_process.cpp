#include "support/server_process.hpp"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/temp_dir.hpp"

namespace qs::test {

bool acceptsConnections(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

bool programsInstalled(const std::vector<std::string>& paths) {
    for (const std::string& path : paths)
        if (::access(path.c_str(), X_OK) != 0) return false;
    return true;
}

ServerProcess::ServerProcess(std::vector<std::string> argv, std::vector<std::uint16_t> ports,
                             std::string log_file, std::chrono::milliseconds limit) {
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    const int log_fd = ::open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) throw std::runtime_error("cannot open " + log_file);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // The server must not outlive a crashed or killed test run.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::setpgid(0, 0);
        const int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, 0);
        ::dup2(log_fd, 1);
        ::dup2(log_fd, 2);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    ::close(log_fd);

    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            std::string text;
            try {
                text = readFile(log_file);
            } catch (const std::exception&) {
            }
            throw std::runtime_error(argv[0] + " exited at start: " + text);
        }
        bool ready = true;
        for (const std::uint16_t port : ports) ready = ready && acceptsConnections(port);
        if (ready) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    throw std::runtime_error(argv[0] + " did not start listening; see " + log_file);
}

ServerProcess::~ServerProcess() {
    if (pid_ <= 0) return;
    // The whole process group: servers such as varnish and apache fork
    // workers of their own.
    ::kill(-pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300 && ::waitpid(pid_, &status, WNOHANG) != pid_; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
}

}  // namespace qs::test
