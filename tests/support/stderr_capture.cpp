#include "support/stderr_capture.hpp"

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace qs::test {

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    FILE* f = std::tmpfile();
    if (f == nullptr) throw std::runtime_error("tmpfile failed");
    file_ = ::dup(fileno(f));
    std::fclose(f);
    saved_ = ::dup(2);
    ::dup2(file_, 2);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    ::close(file_);
}

std::string StderrCapture::text() const {
    std::string out;
    char chunk[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(file_, chunk, sizeof chunk, at);
        if (n <= 0) break;
        out.append(chunk, static_cast<std::size_t>(n));
        at += n;
    }
    return out;
}

}  // namespace qs::test
