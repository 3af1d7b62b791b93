// Where a bundle's detached signature is fetched from.
#include "sync/signature_check.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace qs {
namespace {

TEST(SignatureUrl, DefaultAppendsToThePathAndExplicitOnesResolveAgainstThePayload) {
    struct Case {
        std::string_view payload;
        std::optional<std::string> signature_url;
        std::string_view expected;
    };
    const Case cases[] = {
        {"https://h/a.tgz", std::nullopt, "https://h/a.tgz.sig"},
        // The path gets the suffix; query and fragment follow it unchanged.
        {"https://h/a.tgz?x=1", std::nullopt, "https://h/a.tgz.sig?x=1"},
        {"https://h/a.tgz?x=1#f", std::nullopt, "https://h/a.tgz.sig?x=1#f"},
        {"http://u:p@h:8080/d/a.tgz", std::nullopt, "http://u:p@h:8080/d/a.tgz.sig"},
        {"https://h", std::nullopt, "https://h/.sig"},
        {"https://h?q", std::nullopt, "https://h/.sig?q"},
        // A whole URL is taken as written.
        {"https://h/a.tgz", "http://other:81/x/../a.sig?k", "http://other:81/x/../a.sig?k"},
        // Relative ones resolve as a link on the payload's page would.
        {"https://h/d/a.tgz?x=1", "a.tgz.minisig", "https://h/d/a.tgz.minisig"},
        {"https://h/d/a.tgz", "../sigs/a.sig", "https://h/sigs/a.sig"},
        {"https://h:8443/d/a.tgz", "/sigs/a.sig?v=2", "https://h:8443/sigs/a.sig?v=2"},
        {"https://h/d/a.tgz", "//mirror/a.sig", "https://mirror/a.sig"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.payload) + " + " + c.signature_url.value_or("(default)"));
        const auto url = signatureUrlFor(c.payload, c.signature_url);
        ASSERT_TRUE(url) << errorName(url.error());
        EXPECT_EQ(*url, c.expected);
    }
}

}  // namespace
}  // namespace qs
