#pragma once
// Runs a program (normally the built quillstead binary) with its standard
// output and error captured, and optional signals sent while it runs.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qs::test {

struct ProcessResult {
    int exit_status = -1;  // exit code, or -1 when killed by a signal
    int signal = 0;        // the terminating signal, 0 if it exited
    std::string out;
    std::string err;
};

struct RunOptions {
    std::vector<std::string> args;   // argv[1..]
    std::string working_dir;         // empty: inherit
    std::string stdin_text;          // written to the child's standard input
    bool close_stderr = false;       // start the child with fd 2 closed
    bool stderr_broken_pipe = false; // fd 2 a pipe whose reader is gone
    // Kills the child with SIGKILL after this long: a hung child fails the test
    // instead of hanging the suite.
    std::chrono::milliseconds timeout{20000};
};

// Runs `program` and waits for it.
ProcessResult runProcess(const std::string& program, const RunOptions& options);

// A child left running while the test talks to it; killed on destruction.
class RunningProcess {
public:
    RunningProcess(const std::string& program, const RunOptions& options);
    ~RunningProcess();
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    [[nodiscard]] int pid() const { return pid_; }
    void signal(int number) const;
    // Polls the captured standard error until `text` appears or the time runs out.
    bool waitForStderr(const std::string& text, std::chrono::milliseconds limit);
    // Waits for exit (killing it after `limit`) and returns what it printed.
    ProcessResult wait(std::chrono::milliseconds limit = std::chrono::milliseconds(20000));
    [[nodiscard]] const std::string& stderrSoFar();

private:
    void drain(int timeout_ms);

    int pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
    bool done_ = false;
};

// The ID of a process that has ended and been reaped (a child that exits at
// once): a name carrying it is a leftover of a process that is gone.
int deadProcessId();

// The path of the built quillstead binary.
std::string quillsteadBinary();
// The source tree root (for fixtures and scripts).
std::string sourceDir();

}  // namespace qs::test
