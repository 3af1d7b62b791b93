#include "log/log.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/stderr_capture.hpp"

namespace qs {
namespace {

TEST(Log, LinesHaveLevelScopeAndVerbatimValues) {
    test::StderrCapture capture;
    log::info(log::Scope::config, "loaded config from ", std::string("/etc/q.conf"), ": ", 3u,
              " bundle(s)");
    log::warn(log::Scope::bundle, "failed to chmod ", "a/b", " to ", log::octal(0644), ": ",
              Error::AccessDenied);
    log::error(log::Scope::http, "negative ", std::int64_t{-9223372036854775807LL - 1});
    log::info(log::Scope::quillstead, "shutdown complete");
    EXPECT_EQ(capture.text(),
              "info(config): loaded config from /etc/q.conf: 3 bundle(s)\n"
              "warning(bundle): failed to chmod a/b to 644: error.AccessDenied\n"
              "error(http): negative -9223372036854775808\n"
              "info(quillstead): shutdown complete\n");
}

TEST(Log, LongLinesArriveWholeAndInOrder) {
    test::StderrCapture capture;
    const std::string long_value(5000, 'x');
    log::info(log::Scope::bundle, "a ", long_value, " b ", std::string(70, 'y'), " c");
    EXPECT_EQ(capture.text(),
              "info(bundle): a " + long_value + " b " + std::string(70, 'y') + " c\n");
}

TEST(Log, ValueWithLineFeedIsNotEscaped) {
    test::StderrCapture capture;
    log::info(log::Scope::quillstead, "  [b] cached etag: ", "\"x\ny\"");
    EXPECT_EQ(capture.text(), "info(quillstead):   [b] cached etag: \"x\ny\"\n");
}

TEST(Log, StartupErrorHasBareName) {
    test::StderrCapture capture;
    log::startupError(Error::FileTooBig);
    EXPECT_EQ(capture.text(), "error: FileTooBig\n");
}

}  // namespace
}  // namespace qs
