#include "sync/version.hpp"

#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace qs {
namespace {

using namespace std::string_literals;

TEST(DeriveVersion, StripsQuotesWeakPrefixAndOneLeadingV) {
    struct Case {
        std::string etag;
        std::string version;
    };
    const Case cases[] = {
        {"\"vred\"", "red"},
        {"W/\"abc\"", "abc"},
        {"\"\"", ""},
        {"\"", "\""},              // one quote is not a pair
        {"plain", "plain"},
        {"vvv", "vv"},             // only one "v" goes
        {"V1", "V1"},              // capital V stays
        {"w/\"x\"", "w%2F\"x\""},      // lower-case w/ is no prefix
        {"W/\"v7\"", "7"},
        {"W/x", "x"},
        {"\"W/\"q\"\"", "q"},       // quotes, then the weak form inside them
        {"\"a b\tc\"", "a b\tc"},  // nothing else is examined
    };
    for (const auto& c : cases) {
        auto v = deriveVersion(c.etag);
        ASSERT_TRUE(v) << c.etag;
        EXPECT_EQ(*v, c.version) << c.etag;
    }
}

// The server controls the ETag; the version is one directory name below
// target_dir whatever it sends.
TEST(DeriveVersion, HostileEtagsBecomeOneSafeName) {
    struct Case {
        std::string etag;
        std::string version;
    };
    const Case cases[] = {
        {"\"../../etc\"", "..%2F..%2Fetc"},
        {"\"/etc/passwd\"", "%2Fetc%2Fpasswd"},
        {"\"a\0b\""s, "a%00b"},
        {"\"..\"", ".."},  // directory "v.." is a plain entry
        {"\".\"", "."},
        {"\"v/\"", "%2F"},
    };
    for (const auto& c : cases) {
        auto v = deriveVersion(c.etag);
        ASSERT_TRUE(v);
        EXPECT_EQ(*v, c.version);
        EXPECT_EQ(v->find('/'), std::string::npos);
        EXPECT_EQ(v->find('\0'), std::string::npos);
    }
}

TEST(DeriveVersion, EmptyEtagUsesTheWallClock) {
    const auto before = static_cast<long long>(std::time(nullptr));
    auto v = deriveVersion("");
    const auto after = static_cast<long long>(std::time(nullptr));
    ASSERT_TRUE(v);
    ASSERT_EQ(v->front(), 't');
    const long long seconds = std::stoll(v->substr(1));
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
}

}  // namespace
}  // namespace qs
