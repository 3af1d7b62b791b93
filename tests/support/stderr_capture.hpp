#pragma once
// Redirects file descriptor 2 into a temporary file for the lifetime of the
// object, so tests can check the exact log lines a call wrote.

#include <string>

namespace qs::test {

class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything written to fd 2 since the capture began.
    [[nodiscard]] std::string text() const;

private:
    int saved_ = -1;
    int file_ = -1;
};

}  // namespace qs::test
