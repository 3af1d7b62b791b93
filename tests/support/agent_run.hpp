#pragma once
// Small pieces shared by the end-to-end tests that run the built agent.

#include <chrono>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace qs::test {

// Runs a shell command line; true when it exits 0.
bool shell(const std::string& command);

// tar -czf `archive` -C `dir` . (GNU tar), written beside and renamed into
// place so a server never sends a half-written archive.
void makeTarGz(const std::string& dir, const std::string& archive);

// Sets the file's access and modification times `seconds` ahead of now, so
// a server whose ETag is made of mtime and size gives a new one even when
// the file changed within the same second.
void setTimesAhead(const std::string& path, int seconds);

// Polls until `path` exists and holds `contents` (or any contents when empty).
bool waitForFile(const std::string& path, const std::string& contents,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));

// The symbolic link's target, or "" when it is not a link.
std::string linkTarget(const std::string& path);

// The names in a directory, sorted, without the agent's ".lock".
std::vector<std::string> listDir(const std::string& path);

// True when the agent can be run in a private mount namespace with the test's
// certificates bind-mounted over the system's (needs root and unshare).
bool canUsePrivateMounts();

// Options for running the agent inside a private mount namespace in which
// `ca_dir` is mounted over /etc/ssl/certs, so the machine's store is never
// touched. `config` is passed with -c.
RunOptions agentWithCertificates(const std::string& ca_dir, const std::string& config);
// The same with NAME=value entries added to the agent's environment and
// `arguments` after the configuration (a command word such as "once").
RunOptions agentWithCertificates(const std::string& ca_dir, const std::string& config,
                                 const std::vector<std::string>& environment,
                                 const std::vector<std::string>& arguments = {});

// The program to run for agentWithCertificates.
std::string unshareProgram();

}  // namespace qs::test
