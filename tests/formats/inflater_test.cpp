#include "formats/inflater.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "formats/memory_reader.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

// Text that compresses the way configuration bundles do, with enough
// variety that the deflate stream holds literals, matches and several blocks.
std::string sampleData(std::size_t size, std::uint32_t seed = 1) {
    std::string out;
    out.reserve(size);
    std::uint32_t x = seed;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        out += "key_" + std::to_string((x >> 8) % 977) + " = value " + std::to_string(x % 13) + "\n";
        if ((x & 0x300) == 0) out.push_back(static_cast<char>(x >> 24));  // a stray binary byte
    }
    out.resize(size);
    return out;
}

std::string rawDeflate(std::string_view data, int level = 6) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&s, static_cast<uLong>(data.size())) + 16, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

void putLe32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint32_t crcOf(std::string_view data) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

struct GzipFields {
    std::string extra;
    std::string name;
    std::string comment;
    bool header_crc = false;
    bool text = false;
};

GzipFields fields(std::string extra, std::string name, std::string comment, bool header_crc = false,
                  bool text = false) {
    GzipFields f;
    f.extra = std::move(extra);
    f.name = std::move(name);
    f.comment = std::move(comment);
    f.header_crc = header_crc;
    f.text = text;
    return f;
}

std::string gzipHeader(const GzipFields& f) {
    std::string h = {'\x1f', '\x8b', '\x08', '\0', '\0', '\0', '\0', '\0', '\0', '\x03'};
    std::uint8_t flags = 0;
    if (f.text) flags |= 0x01;
    if (f.header_crc) flags |= 0x02;
    if (!f.extra.empty()) flags |= 0x04;
    if (!f.name.empty()) flags |= 0x08;
    if (!f.comment.empty()) flags |= 0x10;
    h[3] = static_cast<char>(flags);
    if (!f.extra.empty()) {
        h.push_back(static_cast<char>(f.extra.size() & 0xFF));
        h.push_back(static_cast<char>(f.extra.size() >> 8));
        h += f.extra;
    }
    if (!f.name.empty()) h += f.name + '\0';
    if (!f.comment.empty()) h += f.comment + '\0';
    if (f.header_crc) {
        const std::uint32_t c = crcOf(h);
        h.push_back(static_cast<char>(c & 0xFF));
        h.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return h;
}

std::string gzipMember(std::string_view data, const GzipFields& fields = {}) {
    std::string out = gzipHeader(fields) + rawDeflate(data);
    putLe32(out, crcOf(data));
    putLe32(out, static_cast<std::uint32_t>(data.size()));
    return out;
}

std::string zlibStream(std::string_view data) {
    std::string out = {'\x78', '\x9c'};
    out += rawDeflate(data);
    const auto a = static_cast<std::uint32_t>(
        adler32(1, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>((a >> (8 * i)) & 0xFF));
    return out;
}

// Hands out at most `step` bytes per read, as a socket would, then fails
// after `fail_after` bytes if that is set.
class ScriptedReader final : public Reader {
public:
    ScriptedReader(std::string_view bytes, std::size_t step,
                   std::size_t fail_after = SIZE_MAX)
        : bytes_(bytes), step_(step), fail_after_(fail_after) {}
    Result<std::size_t> read(std::span<char> out) override {
        if (position_ >= fail_after_) return std::unexpected(Error::ReadFailed);
        std::size_t n = std::min({out.size(), step_, bytes_.size() - position_,
                                  fail_after_ - position_});
        std::memcpy(out.data(), bytes_.data() + position_, n);
        position_ += n;
        return n;
    }
    [[nodiscard]] std::size_t position() const { return position_; }

private:
    std::string_view bytes_;
    std::size_t step_;
    std::size_t fail_after_;
    std::size_t position_ = 0;
};

struct Outcome {
    std::string data;  // delivered before the end or the failure
    std::optional<Error> error;
};

Outcome drain(Inflater& inflater, std::size_t chunk) {
    Outcome o;
    std::vector<char> buffer(chunk);
    for (;;) {
        const auto n = inflater.read(buffer);
        if (!n) {
            o.error = n.error();
            // A failed decoder stays failed.
            const auto again = inflater.read(buffer);
            EXPECT_FALSE(again);
            return o;
        }
        if (*n == 0) {
            EXPECT_EQ(*inflater.read(buffer), 0u) << "the end is final";
            return o;
        }
        o.data.append(buffer.data(), *n);
    }
}

Outcome decode(InflateEngine engine, Container container, std::string_view bytes,
               std::size_t input_step = SIZE_MAX, std::size_t out_chunk = 16384) {
    ScriptedReader source(bytes, input_step);
    std::vector<char> workspace(kInflateWorkspaceSize);
    Inflater inflater(source, container, workspace, engine);
    EXPECT_EQ(inflater.engine(), engine);
    return drain(inflater, out_chunk);
}

std::string engineName(const testing::TestParamInfo<InflateEngine>& info) {
    return info.param == InflateEngine::isal ? "isal" : "zlib";
}

std::vector<InflateEngine> builtEngines() {
    std::vector<InflateEngine> engines{InflateEngine::zlib};
    if (inflateEngineAvailable(InflateEngine::isal)) engines.push_back(InflateEngine::isal);
    return engines;
}

class InflaterTest : public testing::TestWithParam<InflateEngine> {};

INSTANTIATE_TEST_SUITE_P(Engines, InflaterTest, testing::ValuesIn(builtEngines()), engineName);

TEST(InflaterEngines, DefaultIsIsalWhenBuiltWithIt) {
#ifdef QUILLSTEAD_HAVE_ISAL
    EXPECT_EQ(defaultInflateEngine(), InflateEngine::isal);
    EXPECT_TRUE(inflateEngineAvailable(InflateEngine::isal));
#else
    EXPECT_EQ(defaultInflateEngine(), InflateEngine::zlib);
    EXPECT_FALSE(inflateEngineAvailable(InflateEngine::isal));
#endif
    EXPECT_TRUE(inflateEngineAvailable(InflateEngine::zlib));
}

TEST_P(InflaterTest, RoundTripsAcrossInputAndOutputChunking) {
    struct Case {
        std::size_t size;
        std::size_t input_step;
        std::size_t out_chunk;
    };
    const Case cases[] = {
        {0, SIZE_MAX, 4096},        {1, SIZE_MAX, 1},         {100000, SIZE_MAX, 1},
        {100000, 1, 4096},          {300000, 7, 65536},       {2000000, SIZE_MAX, 1 << 20},
        {2000000, 100000, 3000},    {70000, SIZE_MAX, 32768},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << " step " << c.input_step
                                        << " chunk " << c.out_chunk);
        const std::string data = sampleData(c.size, static_cast<std::uint32_t>(c.size));
        for (const Container container : {Container::gzip, Container::zlib}) {
            const std::string stream =
                container == Container::gzip ? gzipMember(data) : zlibStream(data);
            const Outcome o = decode(GetParam(), container, stream, c.input_step, c.out_chunk);
            EXPECT_FALSE(o.error);
            EXPECT_TRUE(o.data == data);
        }
    }
}

TEST_P(InflaterTest, SkipsOptionalGzipHeaderFields) {
    const std::string data = sampleData(50000);
    struct Case {
        std::string_view name;
        GzipFields fields;
    };
    const Case cases[] = {
        {"extra", fields(std::string("AB\x04\0data", 8), "", "")},
        {"name", fields("", "bundle.tar", "")},
        {"comment", fields("", "", "made for a test")},
        {"header crc", fields("", "", "", true)},
        {"text flag", fields("", "", "", false, true)},
        {"everything", fields(std::string("xy\x02\0zz", 6), "n", "c", true, true)},
        // A long name arriving a byte at a time exercises the header parsers'
        // resumption.
        {"long name", fields("", std::string(3000, 'n'), std::string(500, 'c'))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string stream = gzipMember(data, c.fields);
        for (const std::size_t step : {std::size_t{1}, std::size_t{5}, SIZE_MAX}) {
            SCOPED_TRACE(testing::Message() << "input step " << step);
            const Outcome o = decode(GetParam(), Container::gzip, stream, step);
            EXPECT_FALSE(o.error);
            EXPECT_TRUE(o.data == data);
        }
    }
}

TEST_P(InflaterTest, EndsAfterTheFirstMemberWithoutDeliveringWhatFollows) {
    const std::string first = sampleData(10000, 1);
    const std::string second = sampleData(10000, 2);
    const std::string cases[] = {
        gzipMember(first) + gzipMember(second),
        gzipMember(first) + "trailing garbage that is not gzip at all",
        gzipMember(first) + std::string(100000, '\0'),
    };
    for (const std::string& stream : cases) {
        const Outcome o = decode(GetParam(), Container::gzip, stream);
        EXPECT_FALSE(o.error);
        EXPECT_TRUE(o.data == first);
    }
    const Outcome z = decode(GetParam(), Container::zlib, zlibStream(first) + "more");
    EXPECT_FALSE(z.error);
    EXPECT_TRUE(z.data == first);
}

// Any window-size field up to 7 (a 32 KiB window) is accepted, so streams
// from encoders that use smaller windows decode.
TEST_P(InflaterTest, ZlibStreamsWithSmallerWindows) {
    const std::string data = sampleData(200000);
    for (int window_bits = 9; window_bits <= 15; ++window_bits) {
        SCOPED_TRACE(window_bits);
        z_stream s{};
        ASSERT_EQ(deflateInit2(&s, 9, Z_DEFLATED, window_bits, 9, Z_DEFAULT_STRATEGY), Z_OK);
        std::string stream(deflateBound(&s, static_cast<uLong>(data.size())), '\0');
        s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        s.avail_in = static_cast<uInt>(data.size());
        s.next_out = reinterpret_cast<Bytef*>(stream.data());
        s.avail_out = static_cast<uInt>(stream.size());
        ASSERT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
        stream.resize(s.total_out);
        deflateEnd(&s);
        ASSERT_EQ(static_cast<unsigned char>(stream[0]) >> 4, window_bits - 8);
        const Outcome o = decode(GetParam(), Container::zlib, stream, 999);
        EXPECT_FALSE(o.error);
        EXPECT_TRUE(o.data == data);
    }
}

TEST_P(InflaterTest, EmptyMemberEndsAtOnce) {
    for (const Container container : {Container::gzip, Container::zlib}) {
        const std::string stream =
            container == Container::gzip ? gzipMember("") + gzipMember("next") : zlibStream("");
        const Outcome o = decode(GetParam(), container, stream);
        EXPECT_FALSE(o.error);
        EXPECT_EQ(o.data, "");
    }
}

TEST_P(InflaterTest, NothingIsReadBeforeTheFirstRead) {
    const std::string stream = gzipMember("abc");
    ScriptedReader source(stream, SIZE_MAX);
    std::vector<char> workspace(kInflateWorkspaceSize);
    {
        Inflater inflater(source, Container::gzip, workspace, GetParam());
        EXPECT_EQ(source.position(), 0u);
    }
    EXPECT_EQ(source.position(), 0u);
}

std::string withByte(std::string s, std::size_t at, char value) {
    s[at] = value;
    return s;
}

std::string flipLastBytes(std::string s, std::size_t from_end) {
    s[s.size() - from_end] = static_cast<char>(s[s.size() - from_end] ^ 0x01);
    return s;
}

TEST_P(InflaterTest, EveryDefectIsReadFailed) {
    const std::string data = sampleData(200000);
    const std::string gz = gzipMember(data);
    const std::string zl = zlibStream(data);
    const std::string hcrc = gzipMember(data, fields("", "x", "", true));
    // Header byte 3 of a member with a name: the FHCRC covers it, so changing
    // the name's first byte breaks only the header checksum.
    const std::string hcrc_bad = withByte(hcrc, 10, 'y');
    // A deflate block of the reserved type 3.
    std::string bad_block = gzipHeader({});
    bad_block += '\x07';
    bad_block += std::string(20, '\0');

    struct Case {
        std::string_view name;
        Container container;
        std::string stream;
    };
    const Case cases[] = {
        {"empty input", Container::gzip, ""},
        {"header cut short", Container::gzip, gz.substr(0, 5)},
        {"header cut inside the name", Container::gzip,
         gzipMember(data, fields("", "bundle.tar", "")).substr(0, 14)},
        {"first magic byte", Container::gzip, withByte(gz, 0, 0x1e)},
        {"second magic byte", Container::gzip, withByte(gz, 1, 0x00)},
        {"method 7", Container::gzip, withByte(gz, 2, 7)},
        {"reserved flag", Container::gzip, withByte(gz, 3, '\x20')},
        {"plain tar", Container::gzip, std::string("file.txt") + std::string(504, '\0')},
        {"header crc mismatch", Container::gzip, hcrc_bad},
        {"invalid block type", Container::gzip, bad_block},
        {"cut inside the deflate data", Container::gzip, gz.substr(0, gz.size() / 2)},
        {"cut before the trailer", Container::gzip, gz.substr(0, gz.size() - 8)},
        {"cut inside the crc", Container::gzip, gz.substr(0, gz.size() - 6)},
        {"cut inside the size", Container::gzip, gz.substr(0, gz.size() - 1)},
        {"crc mismatch", Container::gzip, flipLastBytes(gz, 8)},
        {"size mismatch", Container::gzip, flipLastBytes(gz, 4)},
        {"zlib method 7", Container::zlib, withByte(zl, 0, 0x77)},
        {"zlib window field 8", Container::zlib, std::string("\x88\x1c") + zl.substr(2)},
        {"zlib check bits", Container::zlib, withByte(zl, 1, '\x9d')},
        {"zlib preset dictionary", Container::zlib, std::string("\x78\xbb") + zl.substr(2)},
        {"zlib header cut short", Container::zlib, zl.substr(0, 1)},
        {"zlib cut inside the data", Container::zlib, zl.substr(0, zl.size() / 3)},
        {"zlib cut inside the adler", Container::zlib, zl.substr(0, zl.size() - 2)},
        {"zlib adler mismatch", Container::zlib, flipLastBytes(zl, 1)},
        {"gzip given to the zlib container", Container::zlib, gz},
        {"zlib given to the gzip container", Container::gzip, zl},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::size_t step : {std::size_t{1}, SIZE_MAX}) {
            const Outcome o = decode(GetParam(), c.container, c.stream, step, 4096);
            ASSERT_TRUE(o.error);
            EXPECT_EQ(*o.error, Error::ReadFailed);
            // What came out before the failure is the true data, never more.
            EXPECT_LE(o.data.size(), data.size());
            EXPECT_TRUE(data.compare(0, o.data.size(), o.data) == 0);
        }
    }
}

TEST_P(InflaterTest, InputFailureIsReadFailedAfterWhatWasDecoded) {
    const std::string data = sampleData(500000);
    const std::string gz = gzipMember(data);
    for (const std::size_t fail_after : {std::size_t{0}, std::size_t{4}, gz.size() / 2, gz.size() - 3}) {
        ScriptedReader source(gz, 1000, fail_after);
        std::vector<char> workspace(kInflateWorkspaceSize);
        Inflater inflater(source, Container::gzip, workspace, GetParam());
        const Outcome o = drain(inflater, 8192);
        ASSERT_TRUE(o.error);
        EXPECT_EQ(*o.error, Error::ReadFailed);
        EXPECT_TRUE(data.compare(0, o.data.size(), o.data) == 0);
        if (fail_after == gz.size() / 2) {
            EXPECT_GT(o.data.size(), 0u);
        }
    }
}

// The workspace is plain bytes that may sit anywhere, for example inside the
// caller's object.
TEST_P(InflaterTest, WorkspaceAtAnyAlignment) {
    const std::string data = sampleData(300000);
    const std::string gz = gzipMember(data);
    std::vector<char> storage(kInflateWorkspaceSize + 64);
    for (const std::size_t offset : {std::size_t{1}, std::size_t{3}, std::size_t{8}, std::size_t{13}}) {
        ScriptedReader source(gz, SIZE_MAX);
        Inflater inflater(source, Container::gzip,
                          std::span(storage).subspan(offset, kInflateWorkspaceSize), GetParam());
        const Outcome o = drain(inflater, 10000);
        EXPECT_FALSE(o.error);
        EXPECT_TRUE(o.data == data);
    }
}

TEST_P(InflaterTest, WorkspaceTooSmallIsOutOfMemory) {
    const std::string gz = gzipMember("abc");
    MemoryReader source(gz);
    std::vector<char> workspace(kInflateWorkspaceSize - 1);
    Inflater inflater(source, Container::gzip, workspace, GetParam());
    std::array<char, 16> out{};
    EXPECT_EQ(inflater.read(out).error(), Error::OutOfMemory);
}

// Streams written by the real tools, with their own header choices (gzip
// stores the file name, pigz its own flags and block layout).
TEST_P(InflaterTest, DecodesWhatGzipAndPigzWrite) {
    test::TempDir dir;
    const std::string data = sampleData(3000000, 7);
    test::writeFile(dir / "payload.bin", data);
    struct Tool {
        std::string_view name;
        std::string command;
    };
    const Tool tools[] = {
        {"gzip", "gzip -c -9 payload.bin > out.gz"},
        {"gzip -n", "gzip -c -1 -n payload.bin > out.gz"},
        {"pigz", "pigz -c -p 2 -b 128 payload.bin > out.gz"},
        {"pigz -z", "pigz -c -z payload.bin > out.gz"},
    };
    for (const Tool& tool : tools) {
        SCOPED_TRACE(tool.name);
        test::RunOptions options;
        options.args = {"-c", tool.command};
        options.working_dir = dir.str();
        const auto run = test::runProcess("/bin/sh", options);
        ASSERT_EQ(run.exit_status, 0) << run.err;
        const std::string stream = test::readFile(dir / "out.gz");
        const Container container = tool.name == "pigz -z" ? Container::zlib : Container::gzip;
        const Outcome o = decode(GetParam(), container, stream, 16384, 65536);
        EXPECT_FALSE(o.error);
        EXPECT_TRUE(o.data == data);
    }
}

}  // namespace
}  // namespace qs
