#pragma once
// Runs a piece of a test in a forked child that has given up root, so that
// permission checks apply the way they do for an unprivileged daemon.

#include <functional>
#include <string>

namespace qs::test {

// The uid and gid of the unprivileged account ("nobody") the child becomes.
struct Account {
    unsigned uid;
    unsigned gid;
};
Account unprivilegedAccount();

// Forks; the child drops to unprivilegedAccount() (supplementary groups
// cleared), runs `body` and exits with its return value. Returns that value,
// or -1 when the child could not drop privileges or did not exit normally.
// The child inherits the descriptors, so a StderrCapture sees its log lines.
int runUnprivileged(const std::function<int()>& body);

// True when the test process can change file owners (runs as root).
bool runningAsRoot();

}  // namespace qs::test
