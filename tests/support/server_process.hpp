#pragma once
// A server program from Debian's packages run in the foreground by a test,
// with the configuration the test wrote: it dies with the test process and
// stops when the object goes. Ready once every listed port accepts.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qs::test {

class ServerProcess {
public:
    // Starts argv[0] with argv, standard output and error into `log_file`,
    // and waits until every port in `ports` accepts on 127.0.0.1. Throws
    // with the log's text when the program exits or the ports stay closed.
    ServerProcess(std::vector<std::string> argv, std::vector<std::uint16_t> ports,
                  std::string log_file,
                  std::chrono::milliseconds limit = std::chrono::seconds(20));
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    [[nodiscard]] int pid() const { return pid_; }

private:
    int pid_ = -1;
};

// Whether a TCP connection to 127.0.0.1:port is accepted now.
bool acceptsConnections(std::uint16_t port);

// True when every named program exists and is executable.
bool programsInstalled(const std::vector<std::string>& paths);

}  // namespace qs::test
