#include "http/body_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "formats/memory_reader.hpp"
#include "support/process.hpp"

namespace qs {
namespace {

// The connection's byte stream, handed out at most `step` bytes per read
// (1 makes every parser state meet a read boundary); once the bytes run out
// it either ends or fails as a broken socket would.
class WireReader final : public Reader {
public:
    enum class AtEnd { close, fail };
    WireReader(std::string bytes, std::size_t step, AtEnd at_end = AtEnd::close)
        : bytes_(std::move(bytes)), step_(step), at_end_(at_end) {}
    Result<std::size_t> read(std::span<char> out) override {
        if (at_ == bytes_.size() && at_end_ == AtEnd::fail) {
            return std::unexpected(Error::ConnectionResetByPeer);
        }
        const std::size_t n = std::min({out.size(), step_, bytes_.size() - at_});
        std::copy_n(bytes_.data() + at_, n, out.data());
        at_ += n;
        return n;
    }

private:
    std::string bytes_;
    std::size_t at_ = 0;
    std::size_t step_;
    AtEnd at_end_;
};

constexpr std::size_t kPlainReadBuffer = 8192;

// A plain connection whose head has just been parsed: the head parser filled
// the buffer and consumed the head, leaving any body bytes behind it.
struct Connection {
    Connection(std::string body_bytes, std::size_t step,
               WireReader::AtEnd at_end = WireReader::AtEnd::close)
        : wire("HTTP/1.1 200 OK\r\n\r\n" + std::move(body_bytes), step, at_end),
          storage(kPlainReadBuffer),
          input(wire, storage) {
        const std::size_t head = 19;
        EXPECT_GE(*input.fill(head), head);
        input.consume(head);
    }
    WireReader wire;
    std::vector<char> storage;
    BufferedReader input;
    BodyState state;
};

struct Outcome {
    std::string body;
    std::optional<Error> error;
};

// Reads to the end in `out_size` steps, as the fetch does into its buffer.
Outcome readAll(Reader& reader, std::size_t out_size) {
    Outcome outcome;
    std::vector<char> out(out_size);
    for (;;) {
        const Result<std::size_t> n = reader.read(out);
        if (!n) {
            outcome.error = n.error();
            return outcome;
        }
        if (*n == 0) return outcome;
        outcome.body.append(out.data(), *n);
    }
}

std::string errorText(std::optional<Error> error) {
    return error ? std::string(errorName(*error)) : "none";
}

constexpr std::size_t kSteps[] = {1, 3, 1 << 20};

struct FramingCase {
    std::string_view name;
    BodyFraming framing;
    std::uint64_t content_length;
    std::string wire;
    std::string body;                   // expected when the read succeeds
    std::optional<Error> body_error;    // expected in body_error when it fails
    bool fails = false;
    bool reusable = false;              // the connection may carry the next request
    std::string left = {};              // bytes that must stay on the connection
};

std::vector<FramingCase> framingCases() {
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
    using F = BodyFraming;
    return {
        {"length zero", F::content_length, 0, "", "", {}, false, true},
        {"length zero, next response waiting", F::content_length, 0, "HTTP/1.1", "", {}, false,
         true, "HTTP/1.1"},
        {"length exact", F::content_length, 5, "hello", "hello", {}, false, true},
        {"length leaves the next response", F::content_length, 5, "helloHTTP", "hello", {}, false,
         true, "HTTP"},
        {"length 100, connection ends after 60", F::content_length, 100, std::string(60, 'x'), "",
         {}, true},
        {"chunked", F::chunked, 0, "5\r\nhello\r\n0\r\n\r\n", "hello", {}, false, true},
        {"chunked, several chunks", F::chunked, 0, "3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\nNEXT",
         "abcdefg", {}, false, true, "NEXT"},
        {"extension after the size", F::chunked, 0, "1a;name=value\r\n" + alphabet + "\r\n0\r\n\r\n",
         alphabet, {}, false, true},
        {"capital hex digits", F::chunked, 0, "1A\r\n" + alphabet + "\r\n0\r\n\r\n", alphabet, {},
         false, true},
        {"g starts the extension", F::chunked, 0, "1g\r\nx\r\n0\r\n\r\n", "x", {}, false, true},
        {"long extension has no limit", F::chunked, 0,
         "2;" + std::string(20000, 'e') + "\r\nab\r\n0;x=\"y\"\r\n\r\n", "ab", {}, false, true},
        {"bare LF ends the size line", F::chunked, 0, "2\nab\r\n0\n\r\n", "ab", {}, false, true},
        {"leading zeros", F::chunked, 0, std::string(20, '0') + "1\r\nz\r\n0\r\n\r\n", "z", {},
         false, true},
        {"size line without digits is the last chunk", F::chunked, 0, ";ext\r\n\r\n", "", {},
         false, true},
        {"largest size parses, then the data runs out", F::chunked, 0,
         "ffffffffffffffff\r\nabc", "", Error::HttpChunkTruncated, true},
        {"size of 2^64", F::chunked, 0, "1" + std::string(16, '0') + "\r\n", "",
         Error::HttpChunkInvalid, true},
        {"chunk ends with LF alone", F::chunked, 0, "5\r\nhello\n0\r\n\r\n", "",
         Error::HttpChunkInvalid, true},
        {"chunk ends with other bytes", F::chunked, 0, "5\r\nhelloXY0\r\n\r\n", "",
         Error::HttpChunkInvalid, true},
        {"chunk longer than its size", F::chunked, 0, "2\r\nabc\r\n0\r\n\r\n", "",
         Error::HttpChunkInvalid, true},
        {"CR inside the size line", F::chunked, 0, "5\rX\r\nhello\r\n", "", Error::HttpChunkInvalid,
         true},
        {"CR CR after the extension", F::chunked, 0, "5;a\r\r\nhello\r\n", "",
         Error::HttpChunkInvalid, true},
        {"trailers", F::chunked, 0, "2\r\nok\r\n0\r\nX-Sum: 1\r\nY: 2\r\n\r\nNEXT", "ok", {}, false,
         true, "NEXT"},
        {"trailers ending in LF LF", F::chunked, 0, "0\r\nA: b\n\nNEXT", "", {}, false, true,
         "NEXT"},
        {"empty connection", F::chunked, 0, "", "", Error::HttpChunkTruncated, true},
        {"ends in the size line", F::chunked, 0, "5", "", Error::HttpChunkTruncated, true},
        {"ends in the extension", F::chunked, 0, "5;ext", "", Error::HttpChunkTruncated, true},
        {"ends in the data", F::chunked, 0, "5\r\nhel", "", Error::HttpChunkTruncated, true},
        {"ends before the chunk's CR", F::chunked, 0, "5\r\nhello", "", Error::HttpChunkTruncated,
         true},
        {"ends before the chunk's LF", F::chunked, 0, "5\r\nhello\r", "", Error::HttpChunkTruncated,
         true},
        {"ends after the last chunk", F::chunked, 0, "5\r\nhello\r\n0\r\n", "",
         Error::HttpChunkTruncated, true},
        {"ends in the trailers", F::chunked, 0, "0\r\nA: b\r\n", "", Error::HttpChunkTruncated,
         true},
        // A trailer section may fill the connection's buffer exactly, not more.
        {"trailers of 8192 bytes", F::chunked, 0,
         "0\r\nA: " + std::string(8192 - 3 - 4, 't') + "\r\n\r\nNEXT", "", {}, false, true, "NEXT"},
        {"trailers of 8193 bytes", F::chunked, 0,
         "0\r\nA: " + std::string(8193 - 3 - 4, 't') + "\r\n\r\n", "", Error::HttpHeadersOversize,
         true},
        {"until close", F::until_close, 0, "everything\r\n0\r\n\r\nuntil the end",
         "everything\r\n0\r\n\r\nuntil the end", {}, false, false},
        {"until close, empty", F::until_close, 0, "", "", {}, false, false},
    };
}

TEST(BodyReader, Framing) {
    for (const FramingCase& c : framingCases()) {
        for (const std::size_t step : kSteps) {
            for (const std::size_t out_size : {std::size_t{1}, std::size_t{16384}}) {
                SCOPED_TRACE(std::string(c.name) + ", step " + std::to_string(step) +
                             ", reads of " + std::to_string(out_size));
                Connection connection(c.wire, step);
                connection.state.beginBody(c.framing, c.content_length);
                BodyReader reader(connection.input, connection.state);
                const Outcome outcome = readAll(reader, out_size);
                if (c.fails) {
                    ASSERT_TRUE(outcome.error) << outcome.body;
                    EXPECT_EQ(errorName(*outcome.error), "ReadFailed");
                    EXPECT_EQ(errorText(connection.state.body_error), errorText(c.body_error));
                    // A failed body stays failed.
                    std::array<char, 8> more{};
                    EXPECT_FALSE(reader.read(more));
                } else {
                    ASSERT_FALSE(outcome.error) << errorText(connection.state.body_error);
                    EXPECT_EQ(outcome.body, c.body);
                    // The end stays the end.
                    std::array<char, 8> more{};
                    EXPECT_EQ(reader.read(more).value_or(99), 0u);
                }
                EXPECT_EQ(connectionReusableAfterBody(connection.state), c.reusable);
                if (!c.left.empty()) {
                    std::string rest(c.left.size() + 1, '\0');
                    const auto got = connection.input.readExact(
                        std::span<char>(rest.data(), c.left.size()));
                    ASSERT_TRUE(got);
                    EXPECT_EQ(rest.substr(0, c.left.size()), c.left);
                }
            }
        }
    }
}

TEST(BodyReader, TrailersAreKeptRaw) {
    Connection connection("3\r\nabc\r\n0\r\nDigest: x\r\nA:  b \r\n\r\n", 2);
    connection.state.beginBody(BodyFraming::chunked, 0);
    BodyReader reader(connection.input, connection.state);
    EXPECT_EQ(readAll(reader, 64).body, "abc");
    EXPECT_EQ(connection.state.trailers, "Digest: x\r\nA:  b \r\n\r\n");
}

TEST(BodyReader, ConnectionFailureRecordsNoFramingError) {
    for (const BodyFraming framing :
         {BodyFraming::content_length, BodyFraming::chunked, BodyFraming::until_close}) {
        for (const std::size_t step : kSteps) {
            SCOPED_TRACE(static_cast<int>(framing) * 100 + static_cast<int>(step));
            const std::string wire =
                framing == BodyFraming::chunked ? "10\r\n0123456789" : "0123456789";
            Connection connection(wire, step, WireReader::AtEnd::fail);
            connection.state.beginBody(framing, 20);
            BodyReader reader(connection.input, connection.state);
            const Outcome outcome = readAll(reader, 4);
            ASSERT_TRUE(outcome.error);
            EXPECT_EQ(*outcome.error, Error::ReadFailed);
            EXPECT_FALSE(connection.state.body_error);
            EXPECT_FALSE(connectionReusableAfterBody(connection.state));
        }
    }
}

TEST(BodyReader, UnreadOrPartlyReadBodyForbidsReuse) {
    Connection connection("5\r\nhello\r\n0\r\n\r\n", 100);
    EXPECT_TRUE(connectionReusableAfterBody(connection.state));  // no head yet
    connection.state.beginBody(BodyFraming::chunked, 0);
    EXPECT_FALSE(connectionReusableAfterBody(connection.state));
    BodyReader reader(connection.input, connection.state);
    std::array<char, 2> out{};
    ASSERT_EQ(*reader.read(out), 2u);
    EXPECT_FALSE(connectionReusableAfterBody(connection.state));
    std::array<char, 64> transfer{};
    ASSERT_TRUE(discardBody(connection.input, connection.state, transfer));
    EXPECT_TRUE(connectionReusableAfterBody(connection.state));
}

TEST(BodyReader, ResponsesFollowEachOtherOnOneConnection) {
    // Redirect handling discards one body, then reads the next response's
    // body from the same buffered stream.
    Connection connection("4\r\nmove\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n\r\n0123456789", 1);
    connection.state.beginBody(BodyFraming::chunked, 0);
    std::array<char, 16> transfer{};
    ASSERT_TRUE(discardBody(connection.input, connection.state, transfer));
    ASSERT_TRUE(connectionReusableAfterBody(connection.state));
    ASSERT_TRUE(connection.input.skip(19));  // the second head
    connection.state.beginBody(BodyFraming::content_length, 10);
    BodyReader reader(connection.input, connection.state);
    EXPECT_EQ(readAll(reader, 3).body, "0123456789");
    EXPECT_TRUE(connectionReusableAfterBody(connection.state));
}

TEST(BodyReader, DiscardReportsTheFramingError) {
    Connection connection("5\r\nhelloXX", 1);
    connection.state.beginBody(BodyFraming::chunked, 0);
    std::array<char, 16> transfer{};
    const Result<void> r = discardBody(connection.input, connection.state, transfer);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::ReadFailed);
    EXPECT_EQ(connection.state.body_error, Error::HttpChunkInvalid);

    Connection until_close("all of it", 1);
    until_close.state.beginBody(BodyFraming::until_close, 0);
    ASSERT_TRUE(discardBody(until_close.input, until_close.state, {}));
    EXPECT_FALSE(connectionReusableAfterBody(until_close.state));
}

// Compressed bodies come from Python's gzip and zlib modules, not from the
// code under test.
std::string pythonBytes(const std::string& expression) {
    test::RunOptions options;
    options.args = {"-c", "import sys, gzip, zlib\nsys.stdout.buffer.write(" + expression + ")"};
    const test::ProcessResult result = test::runProcess("/usr/bin/python3", options);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return result.out;
}

std::string chunkedFrom(std::string_view body, std::size_t chunk) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string wire;
    for (std::size_t at = 0; at < body.size(); at += chunk) {
        const std::string_view piece = body.substr(at, chunk);
        std::string size;
        for (std::size_t n = piece.size(); n > 0; n /= 16) size.insert(size.begin(), kHex[n % 16]);
        wire += size + "\r\n" + std::string(piece) + "\r\n";
    }
    return wire + "0\r\n\r\n";
}

struct CodingCase {
    std::string_view name;
    ContentCoding coding;
    BodyFraming framing;
    std::string wire;
    std::uint64_t content_length;
    std::string body;
    bool fails = false;
    std::optional<Error> body_error = {};
    // Unset where it depends on how far the decoder's input ran ahead.
    std::optional<bool> reusable = false;
};

TEST(DecodingBodyReader, GzipAndDeflate) {
    // Large enough to pass through the workspace and the transfer buffer several times.
    const std::string plain_expr =
        "b''.join(b'line %d of the bundle payload\\n' % i for i in range(20000))";
    const std::string plain = pythonBytes(plain_expr);
    const std::string gzip = pythonBytes("gzip.compress(" + plain_expr + ")");
    const std::string deflate = pythonBytes("zlib.compress(" + plain_expr + ")");
    const std::string second = pythonBytes("gzip.compress(b'second member')");
    ASSERT_GT(plain.size(), 400000u);
    ASSERT_LT(gzip.size(), plain.size() / 4);
    std::string not_gzip = gzip;
    not_gzip[0] = 'x';
    const std::string gzip_cut = gzip.substr(0, gzip.size() - 100);

    using F = BodyFraming;
    using C = ContentCoding;
    const std::vector<CodingCase> cases = {
        {"identity", C::identity, F::content_length, "plain text", 10, "plain text", false, {},
         true},
        {"gzip by length", C::gzip, F::content_length, gzip, gzip.size(), plain, false, {}, true},
        {"deflate by length", C::deflate, F::content_length, deflate, deflate.size(), plain, false,
         {}, true},
        // The decoder stops at the end of the member; the last chunk stays unread.
        {"gzip chunked", C::gzip, F::chunked, chunkedFrom(gzip, 1000), 0, plain, false, {}, false},
        {"deflate until close", C::deflate, F::until_close, deflate, 0, plain},
        // Reusable only if the decoder happened to pull the whole length in.
        {"two gzip members give the first", C::gzip, F::content_length, gzip + second + "NEXT",
         gzip.size() + second.size(), plain, false, {}, std::nullopt},
        {"first byte not 31", C::gzip, F::content_length, not_gzip, not_gzip.size(), "", true},
        {"gzip cut short by the connection", C::gzip, F::content_length, gzip_cut, gzip.size(), "",
         true},
        {"gzip cut short inside its length", C::gzip, F::content_length, gzip_cut,
         gzip_cut.size(), "", true},
        {"gzip cut short until close", C::gzip, F::until_close, gzip_cut, 0, "", true},
        {"gzip in a truncated chunked body", C::gzip, F::chunked,
         chunkedFrom(gzip, 4096).substr(0, 9000), 0, "", true, Error::HttpChunkTruncated},
        {"zlib data as gzip", C::gzip, F::content_length, deflate, deflate.size(), "", true},
    };
    std::vector<char> workspace(kInflateWorkspaceSize);
    for (const CodingCase& c : cases) {
        for (const std::size_t step : {std::size_t{1}, std::size_t{1} << 20}) {
            SCOPED_TRACE(std::string(c.name) + ", step " + std::to_string(step));
            Connection connection(c.wire, step);
            connection.state.beginBody(c.framing, c.content_length);
            DecodingBodyReader reader(connection.input, connection.state, c.coding, workspace);
            const Outcome outcome = readAll(reader, 16384);
            if (c.fails) {
                ASSERT_TRUE(outcome.error);
                EXPECT_EQ(*outcome.error, Error::ReadFailed);
                EXPECT_EQ(errorText(connection.state.body_error), errorText(c.body_error));
                std::array<char, 8> more{};
                EXPECT_FALSE(reader.read(more));
            } else {
                ASSERT_FALSE(outcome.error) << errorText(connection.state.body_error);
                EXPECT_TRUE(outcome.body == c.body) << outcome.body.size();
            }
            if (c.reusable) {
                EXPECT_EQ(connectionReusableAfterBody(connection.state), *c.reusable);
            } else if (connectionReusableAfterBody(connection.state)) {
                // Then the next response must be exactly what comes next.
                std::array<char, 4> next{};
                ASSERT_TRUE(connection.input.readExact(next));
                EXPECT_EQ(std::string_view(next.data(), 4), "NEXT");
            }
        }
    }
}

}  // namespace
}  // namespace qs
