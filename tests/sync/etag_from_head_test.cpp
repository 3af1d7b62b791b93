#include "sync/fetch_bundle.hpp"

#include <gtest/gtest.h>

namespace qs {
namespace {

struct Case {
    std::string_view name;
    std::string_view head;
    std::string_view etag;
};

const Case kCases[] = {
    {"strong", "HTTP/1.1 200 OK\r\nETag: \"abc\"\r\n\r\n", "\"abc\""},
    {"weak keeps W/ and quotes", "HTTP/1.1 200 OK\r\nEtag: W/\"v1\"\r\n\r\n", "W/\"v1\""},
    {"capitals", "HTTP/1.1 200 OK\r\nETAG: x\r\n\r\n", "x"},
    {"blanks and tabs trimmed, inner kept", "HTTP/1.1 200 OK\r\netag: \t \"a b\" \t\r\n\r\n", "\"a b\""},
    {"blank before colon is another name", "HTTP/1.1 200 OK\r\nETag : x\r\n\r\n", ""},
    {"first of two wins", "HTTP/1.1 200 OK\r\nETag: one\r\nETag: two\r\n\r\n", "one"},
    {"none", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", ""},
    {"status line is never a header", "etag: x\r\n\r\n", ""},
    {"after the empty line is body", "HTTP/1.1 200 OK\r\n\r\nETag: late\r\n", ""},
    {"line without colon", "HTTP/1.1 200 OK\r\netag\r\nETag: y\r\n\r\n", ""},
    {"empty value", "HTTP/1.1 200 OK\r\nETag:\r\n\r\n", ""},
};

TEST(EtagFromHead, Table) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(etagFromHead(c.head), c.etag);
    }
}

}  // namespace
}  // namespace qs
