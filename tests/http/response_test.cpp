#include "http/response.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qs {
namespace {

TEST(HeadScanner, FindsTheEndWhereverTheReadsSplitIt) {
    const std::string head = "HTTP/1.1 200 OK\r\nA: b\r\n\r\n";
    const std::string stream = head + "body";
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        HeadScanner scanner;
        const auto first = scanner.feed(std::string_view(stream).substr(0, split));
        if (split >= head.size()) {
            ASSERT_TRUE(first) << split;
            EXPECT_EQ(*first, head.size());
            continue;
        }
        ASSERT_FALSE(first) << split;
        const auto second = scanner.feed(std::string_view(stream).substr(split));
        ASSERT_TRUE(second) << split;
        EXPECT_EQ(split + *second, head.size()) << split;
    }
}

// Started after a line end (a chunked body's trailer section), the first
// empty line ends the section even when it comes at once.
TEST(HeadScanner, EndsAtTheFirstBlankLineOfEitherKind) {
    using Start = HeadScanner::Start;
    struct Case {
        std::string_view bytes;
        std::optional<std::size_t> end;
        Start start = Start::head;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\n\nrest", 17},
        {"HTTP/1.1 200 OK\r\n\nrest", 18},  // LF LF inside CR LF LF
        {"HTTP/1.1 200 OK\r\n\r\n", 19},
        {"\r\n\r\n", 4},
        {"HTTP/1.1 200 OK\r\n\r", std::nullopt},
        {"HTTP/1.1 200 OK\r\r\n", std::nullopt},
        {"\n\r\n", std::nullopt},
        {"\r\nrest", std::nullopt},
        {"\r\nrest", 2, Start::after_line_end},
        {"\nrest", 1, Start::after_line_end},
        {"T: 1\r\n\r\nrest", 8, Start::after_line_end},
        {"T: 1\n\nrest", 6, Start::after_line_end},
        {"\r\r\n", std::nullopt, Start::after_line_end},
        {"T: 1\r\n", std::nullopt, Start::after_line_end},
    };
    for (const Case& c : cases) {
        for (std::size_t split = 0; split <= c.bytes.size(); ++split) {
            SCOPED_TRACE(testing::Message() << c.bytes << " split at " << split);
            HeadScanner scanner(c.start);
            std::optional<std::size_t> end = scanner.feed(c.bytes.substr(0, split));
            if (!end) {
                const auto rest = scanner.feed(c.bytes.substr(split));
                if (rest) end = split + *rest;
            }
            EXPECT_EQ(end, c.end);
        }
    }
}

TEST(ParseResponseHead, ReadsStatusLineAndKnownHeaders) {
    const std::string head =
        "HTTP/1.1 301 Moved  \r\n"
        "Location: \t/new \r\n"
        "CONTENT-TYPE: text/plain\r\n"
        "content-type: text/html\r\n"
        "Content-Disposition: attachment\r\n"
        "Content-Length: 10\r\n"
        "content-length: 10\r\n"
        "X-Other: ignored\r\n"
        "\r\n";
    const auto parsed = parseResponseHead(head);
    ASSERT_TRUE(parsed) << errorName(parsed.error());
    EXPECT_EQ(parsed->head, head);
    EXPECT_FALSE(parsed->http_1_0);
    EXPECT_EQ(parsed->status, 301u);
    EXPECT_EQ(parsed->reason, "Moved  ");
    EXPECT_TRUE(parsed->keep_alive);
    EXPECT_EQ(parsed->location, "/new");
    EXPECT_EQ(parsed->content_type, "text/html");
    EXPECT_EQ(parsed->content_disposition, "attachment");
    EXPECT_EQ(parsed->content_length, 10u);
    EXPECT_EQ(parsed->transfer_encoding, TransferEncoding::none);
    EXPECT_EQ(parsed->content_encoding, ContentEncoding::identity);
}

TEST(ParseResponseHead, StatusCodesAndReasons) {
    struct Case {
        std::string_view status_line;
        unsigned status;
        std::string_view reason;
    };
    const Case cases[] = {
        {"HTTP/1.1 200", 200, ""},  // exactly 12 bytes
        {"HTTP/1.1 404 Not Found", 404, "Not Found"},
        {"HTTP/1.0 304    ", 304, ""},
        {"HTTP/1.1 999 x", 999, "x"},
        // Not digits: (':'-'0')=10 weighs in as a digit would, modulo 1024.
        {"HTTP/1.1 1:0 odd", 200, "odd"},
        {"HTTP/1.1 000", 0, ""},
        // ' ' - '0' is negative; the sum still lands in 0..1023.
        {"HTTP/1.1    ", static_cast<unsigned>(((-16 * 111) % 1024 + 1024) % 1024), ""},
    };
    for (const Case& c : cases) {
        const auto parsed = parseResponseHead(std::string(c.status_line) + "\r\n\r\n");
        ASSERT_TRUE(parsed) << c.status_line;
        EXPECT_EQ(parsed->status, c.status) << c.status_line;
        EXPECT_EQ(parsed->reason, c.reason) << c.status_line;
    }
}

TEST(ParseResponseHead, KeepAliveFollowsVersionAndConnectionHeader) {
    struct Case {
        std::string_view head;
        bool keep_alive;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", true},
        {"HTTP/1.0 200 OK\r\n\r\n", false},
        {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n\r\n", true},
        {"HTTP/1.1 200 OK\r\nconnection: CLOSE\r\n\r\n", false},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\nConnection: upgrade\r\n\r\n", true},  // last wins
        {"HTTP/1.0 200 OK\r\nConnection: anything\r\n\r\n", true},
    };
    for (const Case& c : cases) {
        const auto parsed = parseResponseHead(c.head);
        ASSERT_TRUE(parsed) << c.head;
        EXPECT_EQ(parsed->keep_alive, c.keep_alive) << c.head;
    }
}

TEST(ParseResponseHead, TransferAndContentCodings) {
    struct Case {
        std::string_view headers;
        TransferEncoding transfer;
        ContentEncoding content;
        std::optional<std::uint64_t> length;
    };
    const Case cases[] = {
        {"Transfer-Encoding: chunked\r\n", TransferEncoding::chunked, ContentEncoding::identity, {}},
        {"TRANSFER-ENCODING: gzip, chunked\r\n", TransferEncoding::chunked, ContentEncoding::gzip, {}},
        {"Transfer-Encoding: gzip\r\n", TransferEncoding::none, ContentEncoding::gzip, {}},
        {"Transfer-Encoding:  x-gzip ,  chunked \r\n", TransferEncoding::chunked, ContentEncoding::gzip, {}},
        {"Transfer-Encoding: none\r\n", TransferEncoding::none, ContentEncoding::identity, {}},
        {"Content-Encoding: deflate\r\n", TransferEncoding::none, ContentEncoding::deflate, {}},
        {"Content-Encoding: x-compress\r\n", TransferEncoding::none, ContentEncoding::compress, {}},
        {"Content-Encoding: zstd\r\n", TransferEncoding::none, ContentEncoding::zstd, {}},
        {"Content-Encoding: identity\r\ncontent-encoding: gzip\r\n", TransferEncoding::none,
         ContentEncoding::gzip, {}},
        // Chunked framing wins over an announced length.
        {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", TransferEncoding::chunked,
         ContentEncoding::identity, 5},
        {"Content-Length: 18446744073709551615\r\n", TransferEncoding::none,
         ContentEncoding::identity, UINT64_MAX},
        {"Content-Length: 007\r\nContent-Length: 007\r\n", TransferEncoding::none,
         ContentEncoding::identity, 7},
    };
    for (const Case& c : cases) {
        const auto parsed = parseResponseHead("HTTP/1.1 200 OK\r\n" + std::string(c.headers) + "\r\n");
        ASSERT_TRUE(parsed) << c.headers;
        EXPECT_EQ(parsed->transfer_encoding, c.transfer) << c.headers;
        EXPECT_EQ(parsed->content_encoding, c.content) << c.headers;
        EXPECT_EQ(parsed->content_length, c.length) << c.headers;
    }
}

// Every row is one defect; each must fail the whole head.
TEST(ParseResponseHead, DefectsAreInvalid) {
    struct Case {
        std::string_view name;
        std::string_view head;
    };
    const Case cases[] = {
        {"status line too short", "HTTP/1.1 20\r\n\r\n"},
        {"HTTP/2", "HTTP/2 200 OK\r\n\r\n"},
        {"lower-case version", "http/1.1 200 OK\r\n\r\n"},
        {"HTTP/1.2", "HTTP/1.2 200 OK\r\n\r\n"},
        {"no blank after version", "HTTP/1.1-200 OK\r\n\r\n"},
        {"continuation with tab", "HTTP/1.1 200 OK\r\nA: b\r\n\tc\r\n\r\n"},
        {"continuation with blank", "HTTP/1.1 200 OK\r\nA: b\r\n c\r\n\r\n"},
        {"empty header name", "HTTP/1.1 200 OK\r\n: value\r\n\r\n"},
        {"bare LF line ends", "HTTP/1.1 200 OK\nA: b\n\n"},
        {"bare LF at the end", "HTTP/1.1 200 OK\r\nA: b\n\n"},
        {"no empty line", "HTTP/1.1 200 OK\r\nA: b\r\n"},
        {"Chunked in capitals", "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"},
        {"unknown transfer coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: br\r\n\r\n"},
        {"two codings before chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, deflate, chunked\r\n\r\n"},
        {"chunked twice", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n"},
        {"chunked, chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, chunked\r\n\r\n"},
        {"empty transfer-encoding", "HTTP/1.1 200 OK\r\nTransfer-Encoding:\r\n\r\n"},
        {"coding after content-encoding", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"},
        {"two content-encodings", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Encoding: gzip\r\n\r\n"},
        {"unknown content-encoding", "HTTP/1.1 200 OK\r\nContent-Encoding: br\r\n\r\n"},
        {"content-encoding in capitals", "HTTP/1.1 200 OK\r\nContent-Encoding: GZIP\r\n\r\n"},
        {"content-encoding list", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip, deflate\r\n\r\n"},
        {"conflicting lengths", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 11\r\n\r\n"},
        {"signed length", "HTTP/1.1 200 OK\r\nContent-Length: +10\r\n\r\n"},
        {"empty length", "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n"},
        {"length with blank inside", "HTTP/1.1 200 OK\r\nContent-Length: 1 0\r\n\r\n"},
        {"length of 2^64", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\n"},
        {"length list", "HTTP/1.1 200 OK\r\nContent-Length: 10, 10\r\n\r\n"},
        {"bare LF inside a value", "HTTP/1.1 200 OK\r\nETag: \"a\"\nX: 1\r\n\r\n"},
        {"bare CR inside a value", "HTTP/1.1 200 OK\r\nETag: \"a\"\rX: 1\r\n\r\n"},
        {"NUL inside a value", std::string_view("HTTP/1.1 200 OK\r\nETag: \"a\0b\"\r\n\r\n", 32)},
    };
    for (const Case& c : cases) {
        const auto parsed = parseResponseHead(c.head);
        ASSERT_FALSE(parsed) << c.name;
        EXPECT_EQ(parsed.error(), Error::HttpHeadersInvalid) << c.name;
    }
}

TEST(HeaderLines, YieldsNamesAsReceivedAndTrimmedValues) {
    const std::string head =
        "HTTP/1.1 200 OK\r\n"
        "ETag: \t\"v1\" \r\n"
        "etag : spaced\r\n"
        "no colon here\r\n"
        "Empty:\r\n"
        "X: a:b\r\n"
        "\r\n";
    std::vector<std::pair<std::string, std::string>> seen;
    auto lines = headerLines(head);
    while (auto field = lines.next()) seen.emplace_back(field->name, field->value);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"ETag", "\"v1\""}, {"etag ", "spaced"}, {"no colon here", ""}, {"Empty", ""}, {"X", "a:b"},
    };
    EXPECT_EQ(seen, expected);
}

TEST(HeaderLines, StopsAtAnEmptyName) {
    auto lines = headerLines("HTTP/1.1 200 OK\r\nA: 1\r\n: x\r\nB: 2\r\n\r\n");
    ASSERT_TRUE(lines.next());
    EXPECT_FALSE(lines.next());
    EXPECT_FALSE(lines.next());
}

}  // namespace
}  // namespace qs
