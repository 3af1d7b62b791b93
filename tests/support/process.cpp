#include "support/process.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace qs::test {

namespace {

void appendAvailable(int fd, std::string& into, bool& open) {
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
        into.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        open = false;
    }
}

int spawn(const std::string& program, const RunOptions& options, int& out_fd, int& err_fd) {
    int out_pipe[2];
    int err_pipe[2];
    int in_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0 ||
        ::pipe2(in_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> argv_storage;
    argv_storage.push_back(program);
    for (const auto& a : options.args) argv_storage.push_back(a);
    std::vector<char*> argv;
    for (auto& a : argv_storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        if (options.close_stderr) {
            ::close(2);
        } else if (options.stderr_broken_pipe) {
            int broken[2];
            if (::pipe(broken) == 0) {
                ::close(broken[0]);
                ::dup2(broken[1], 2);
            }
        } else {
            ::dup2(err_pipe[1], 2);
        }
        if (!options.working_dir.empty() && ::chdir(options.working_dir.c_str()) != 0) ::_exit(127);
        // The test runner may ignore or block signals; the agent must start
        // with the defaults a shell would give it.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ::close(in_pipe[0]);
    if (!options.stdin_text.empty()) {
        ::signal(SIGPIPE, SIG_IGN);
        const char* p = options.stdin_text.data();
        std::size_t left = options.stdin_text.size();
        while (left > 0) {
            const ssize_t n = ::write(in_pipe[1], p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    ::close(in_pipe[1]);
    out_fd = out_pipe[0];
    err_fd = err_pipe[0];
    return pid;
}

}  // namespace

RunningProcess::RunningProcess(const std::string& program, const RunOptions& options) {
    pid_ = spawn(program, options, out_fd_, err_fd_);
}

RunningProcess::~RunningProcess() {
    if (!done_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
}

void RunningProcess::signal(int number) const { ::kill(pid_, number); }

void RunningProcess::drain(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout_ms);
    if (ready <= 0) return;
    bool open = true;
    if (fds[0].revents != 0 && out_fd_ >= 0) {
        appendAvailable(out_fd_, out_, open);
        if (!open) {
            ::close(out_fd_);
            out_fd_ = -1;
        }
    }
    open = true;
    if (fds[1].revents != 0 && err_fd_ >= 0) {
        appendAvailable(err_fd_, err_, open);
        if (!open) {
            ::close(err_fd_);
            err_fd_ = -1;
        }
    }
}

const std::string& RunningProcess::stderrSoFar() {
    drain(0);
    return err_;
}

bool RunningProcess::waitForStderr(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (err_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (out_fd_ < 0 && err_fd_ < 0) return false;
        drain(50);
    }
    return true;
}

ProcessResult RunningProcess::wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        drain(20);
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
    }
    done_ = true;
    while (out_fd_ >= 0 || err_fd_ >= 0) {
        const std::size_t before = out_.size() + err_.size();
        drain(100);
        if (out_.size() + err_.size() == before) break;
    }
    ProcessResult result;
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = out_;
    result.err = err_;
    return result;
}

ProcessResult runProcess(const std::string& program, const RunOptions& options) {
    RunningProcess process(program, options);
    return process.wait(options.timeout);
}

std::string quillsteadBinary() { return QUILLSTEAD_BINARY; }
std::string sourceDir() { return QUILLSTEAD_SOURCE_DIR; }

int deadProcessId() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    if (child > 0) ::waitpid(child, &status, 0);
    return static_cast<int>(child);
}

}  // namespace qs::test
