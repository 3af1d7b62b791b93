#include "formats/tar_reader.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "formats/inflater.hpp"
#include "formats/memory_reader.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

// ---- walking an archive --------------------------------------------------

struct Seen {
    std::string name;
    std::string link_name;
    std::uint64_t size = 0;
    std::uint32_t mode = 0;
    TarEntryKind kind = TarEntryKind::file;
    std::string data;
};

struct Walked {
    std::vector<Seen> entries;
    std::optional<Error> error;
};

class StringSink final : public TarDataSink {
public:
    explicit StringSink(std::string& out) : out_(out) {}
    Result<void> write(std::string_view bytes) override {
        out_.append(bytes);
        return {};
    }

private:
    std::string& out_;
};

// How the caller treats each entry's data: skipping it (next() does that),
// streaming it to a sink, or pulling it in small reads.
enum class DataUse { skip, stream, read_small, alternate };

Walked walkReader(BufferedReader& input, DataUse use) {
    Walked w;
    TarReader reader(input);
    for (std::size_t index = 0;; ++index) {
        auto entry = reader.next();
        if (!entry) {
            w.error = entry.error();
            return w;
        }
        if (!*entry) return w;
        Seen s{std::string((*entry)->name), std::string((*entry)->link_name), (*entry)->size,
               (*entry)->mode, (*entry)->kind, {}};
        EXPECT_EQ(reader.unread(), s.size);
        DataUse this_use = use;
        if (use == DataUse::alternate) this_use = index % 2 == 0 ? DataUse::stream : DataUse::skip;
        if (this_use == DataUse::stream) {
            StringSink sink(s.data);
            const auto streamed = reader.streamData(sink);
            if (!streamed) {
                w.entries.push_back(s);
                w.error = streamed.error();
                return w;
            }
            EXPECT_EQ(reader.unread(), 0u);
        } else if (this_use == DataUse::read_small) {
            std::array<char, 7> chunk{};
            for (;;) {
                const auto n = reader.readData(chunk);
                if (!n) {
                    w.entries.push_back(s);
                    w.error = n.error();
                    return w;
                }
                if (*n == 0) break;
                s.data.append(chunk.data(), *n);
            }
        }
        w.entries.push_back(s);
    }
}

Walked walk(std::string_view archive, DataUse use = DataUse::stream, std::size_t storage = 4096) {
    MemoryReader source(archive);
    std::vector<char> buffer(storage);
    BufferedReader input(source, buffer);
    return walkReader(input, use);
}

// ---- hand-built blocks ---------------------------------------------------

constexpr std::size_t kBlock = 512;

void putField(std::string& block, std::size_t offset, std::size_t width, std::string_view text) {
    ASSERT_LE(text.size(), width);
    std::memcpy(block.data() + offset, text.data(), text.size());
}

std::string octal(std::uint64_t value, std::size_t digits) {
    std::string out(digits, '0');
    for (std::size_t i = digits; i-- > 0; value >>= 3) out[i] = static_cast<char>('0' + (value & 7));
    return out;
}

void setChecksum(std::string& block) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < kBlock; ++i)
        sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(block[i]);
    std::memcpy(block.data() + 148, (octal(sum, 6) + std::string("\0 ", 2)).data(), 8);
}

struct HeaderFields {
    std::string name;
    std::uint64_t size = 0;
    char typeflag = '0';
    std::string linkname = {};
    std::string prefix = {};
    bool ustar = true;
    std::string mode = "0000644";
};

// A header block as GNU tar writes one, checksum included.
std::string header(const HeaderFields& s) {
    std::string b(kBlock, '\0');
    putField(b, 0, 100, s.name);
    putField(b, 100, 8, s.mode);
    putField(b, 108, 8, "0000000");
    putField(b, 116, 8, "0000000");
    putField(b, 124, 12, octal(s.size, 11));
    putField(b, 136, 12, octal(1700000000, 11));
    b[156] = s.typeflag;
    putField(b, 157, 100, s.linkname);
    if (s.ustar) {
        putField(b, 257, 6, std::string("ustar\0", 6));
        putField(b, 263, 2, "00");
    }
    putField(b, 345, 155, s.prefix);
    setChecksum(b);
    return b;
}

std::string padded(std::string_view data) {
    std::string out(data);
    out.resize((data.size() + kBlock - 1) / kBlock * kBlock, '\0');
    return out;
}

// A record: its header (size taken from the data unless given) and data.
std::string record(HeaderFields s, std::string_view data) {
    if (s.size == 0) s.size = data.size();
    return header(s) + padded(data);
}

std::string file(std::string name, std::string_view data) { return record({.name = std::move(name)}, data); }

std::string paxRecord(std::string_view keyword, std::string_view value) {
    const std::size_t body = 1 + keyword.size() + 1 + value.size() + 1;  // " k=v\n"
    std::size_t length = body + 1;
    while (std::to_string(length).size() + body != length) ++length;
    return std::to_string(length) + " " + std::string(keyword) + "=" + std::string(value) + "\n";
}

std::string pax(std::string_view records, char typeflag = 'x') {
    return record({.name = "PaxHeaders/x", .typeflag = typeflag}, records);
}

const std::string kEnd(2 * kBlock, '\0');

Seen seen(std::string name, std::uint64_t size, std::string data = {},
          TarEntryKind kind = TarEntryKind::file, std::string link = {}, std::uint32_t mode = 0644) {
    return Seen{std::move(name), std::move(link), size, mode, kind, std::move(data)};
}

void expectEntries(const Walked& w, const std::vector<Seen>& expected, bool check_data = true) {
    ASSERT_EQ(w.entries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "entry " << i);
        EXPECT_EQ(w.entries[i].name, expected[i].name);
        EXPECT_EQ(w.entries[i].link_name, expected[i].link_name);
        EXPECT_EQ(w.entries[i].size, expected[i].size);
        EXPECT_EQ(w.entries[i].mode, expected[i].mode);
        EXPECT_EQ(w.entries[i].kind, expected[i].kind);
        if (check_data) {
            EXPECT_EQ(w.entries[i].data, expected[i].data);
        }
    }
}

TEST(TarReader, AcceptsAndEndsAsTheFormatAllows) {
    std::string high_bytes_name = header({.name = "caf\xc3\xa9-\xff\xfe.txt", .size = 3});
    {
        // Recompute the checksum the way tools that sum signed chars do.
        std::int32_t sum = 0;
        for (std::size_t i = 0; i < kBlock; ++i)
            sum += (i >= 148 && i < 156) ? ' ' : static_cast<signed char>(high_bytes_name[i]);
        std::memcpy(high_bytes_name.data() + 148, (octal(static_cast<std::uint32_t>(sum), 7) + " ").data(), 8);
    }
    std::string base256 = header({.name = "big", .size = 0});
    base256.replace(124, 12, std::string("\x80\0\0\0\0\0\0\0\0\0\0\x05", 12));
    setChecksum(base256);
    std::string nul_typeflag = header({.name = "old-file", .size = 2, .typeflag = '\0'});
    std::string space_magic = header({.name = "c.txt", .prefix = "a/b"});
    space_magic[262] = ' ';
    setChecksum(space_magic);
    std::string padded_octal = header({.name = "padded", .size = 4, .mode = "  755 \0"});
    padded_octal.replace(124, 12, std::string("     4 \0\0\0\0\0", 12));
    setChecksum(padded_octal);
    std::string empty_mode = header({.name = "no-mode", .mode = std::string(8, '\0')});
    // Two bytes of 0x80 bring the signed sum of a block to 0: a checksum
    // field of 0 then matches it and ends the archive.
    std::string signed_zero(kBlock, '\0');
    signed_zero[0] = '\x80';
    signed_zero[1] = '\x80';

    struct Case {
        std::string_view name;
        std::string archive;
        std::vector<Seen> expected;
    };
    const Case cases[] = {
        {"empty input", "", {}},
        {"one zero block, then garbage", std::string(kBlock, '\0') + "garbage that is never parsed", {}},
        {"no end blocks at all", file("a", "x") + file("b", std::string(512, 'y')),
         {seen("a", 1, "x"), seen("b", 512, std::string(512, 'y'))}},
        {"signed checksum", high_bytes_name + padded("abc") + kEnd,
         {seen("caf\xc3\xa9-\xff\xfe.txt", 3, "abc")}},
        {"base-256 size", base256 + padded("12345") + kEnd, {seen("big", 5, "12345")}},
        {"NUL typeflag", nul_typeflag + padded("hi") + kEnd, {seen("old-file", 2, "hi")}},
        {"ustar prefix", record({.name = "c.txt", .prefix = "a/b"}, "") + kEnd, {seen("a/b/c.txt", 0)}},
        {"prefix without ustar magic", record({.name = "c.txt", .prefix = "a/b", .ustar = false}, "") + kEnd,
         {seen("c.txt", 0)}},
        {"ustar magic ending in a space", space_magic + kEnd, {seen("a/b/c.txt", 0)}},
        {"blanks and NULs around octal digits", padded_octal + padded("data") + kEnd,
         {seen("padded", 4, "data", TarEntryKind::file, "", 0755)}},
        {"empty mode field", empty_mode + kEnd,
         {seen("no-mode", 0, "", TarEntryKind::file, "", 0)}},
        {"a 100-byte name without NUL", record({.name = std::string(100, 'n')}, "") + kEnd,
         {seen(std::string(100, 'n'), 0)}},
        {"symlink and directory",
         record({.name = "dir/", .typeflag = '5', .mode = "0000755"}, "") +
             record({.name = "dir/link", .typeflag = '2', .linkname = "../target", .mode = "0000777"}, "") + kEnd,
         {seen("dir/", 0, "", TarEntryKind::directory, "", 0755),
          seen("dir/link", 0, "", TarEntryKind::sym_link, "../target", 0777)}},
        {"signed sum of zero with checksum 0", signed_zero + file("after", "x"), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const DataUse use : {DataUse::stream, DataUse::read_small}) {
            const Walked w = walk(c.archive, use);
            EXPECT_FALSE(w.error) << errorName(*w.error);
            expectEntries(w, c.expected);
        }
    }
}

// Every entry's padding is skipped before the next header, whatever the
// caller did with the data.
TEST(TarReader, SkipsDataAndPaddingWhateverTheCallerRead) {
    std::string archive;
    std::vector<Seen> expected;
    for (const std::size_t size : {0, 1, 511, 512, 513, 1024, 5000, 70000}) {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + (i * 7 + size) % 26);
        const std::string name = "f" + std::to_string(size);
        archive += file(name, data);
        expected.push_back(seen(name, size, data));
    }
    archive += kEnd;
    for (const DataUse use : {DataUse::skip, DataUse::stream, DataUse::read_small, DataUse::alternate}) {
        for (const std::size_t storage : {std::size_t{512}, std::size_t{4096}, std::size_t{65536}}) {
            SCOPED_TRACE(testing::Message() << "use " << static_cast<int>(use) << " storage " << storage);
            const Walked w = walk(archive, use, storage);
            EXPECT_FALSE(w.error);
            std::vector<Seen> want = expected;
            for (std::size_t i = 0; i < want.size(); ++i) {
                const bool read = use == DataUse::stream || use == DataUse::read_small ||
                                  (use == DataUse::alternate && i % 2 == 0);
                if (!read) want[i].data.clear();
            }
            expectEntries(w, want);
        }
    }
}

TEST(TarReader, LongNamesAndPaxRecords) {
    const std::string name1024(1024, 'N');
    const std::string link1024(1024, 'K');
    struct Case {
        std::string_view name;
        std::string archive;
        std::vector<Seen> expected;
    };
    const Case cases[] = {
        {"GNU long name of 1024 bytes without NUL",
         record({.name = "././@LongLink", .typeflag = 'L'}, name1024) + file("short", "d") + kEnd,
         {seen(name1024, 1, "d")}},
        {"GNU long name with NUL and junk after it",
         record({.name = "././@LongLink", .typeflag = 'L'}, std::string("long/name\0junk", 14)) +
             file("short", "") + kEnd,
         {seen("long/name", 0)}},
        {"GNU long link of 1024 bytes",
         record({.name = "././@LongLink", .typeflag = 'K'}, link1024) +
             record({.name = "l", .typeflag = '2', .linkname = "short"}, "") + kEnd,
         {seen("l", 0, "", TarEntryKind::sym_link, link1024)}},
        {"PAX path, linkpath and size",
         pax(paxRecord("path", "pax/path") + paxRecord("linkpath", "pax/link") + paxRecord("size", "5")) +
             header({.name = "hdr", .size = 0, .typeflag = '2', .linkname = "hdr-link"}) + padded("12345") + kEnd,
         {seen("pax/path", 5, "12345", TarEntryKind::sym_link, "pax/link")}},
        {"PAX size 0 leaves the header size",
         pax(paxRecord("size", "0")) + file("f", "abc") + kEnd, {seen("f", 3, "abc")}},
        {"PAX path of 1024 bytes", pax(paxRecord("path", name1024)) + file("x", "") + kEnd,
         {seen(name1024, 0)}},
        {"fractional mtime and unknown keywords skipped",
         pax(paxRecord("mtime", "1700000000.123456789") + paxRecord("SCHILY.xattr.user.k", std::string("v\0v\n", 4)) +
             paxRecord("path", "after-mtime")) + file("x", "") + kEnd,
         {seen("after-mtime", 0)}},
        {"last record wins", pax(paxRecord("path", "first") + paxRecord("path", "second")) + file("x", "") + kEnd,
         {seen("second", 0)}},
        {"an L record before a PAX header is forgotten",
         record({.name = "././@LongLink", .typeflag = 'L'}, "gnu-name") + pax(paxRecord("mtime", "1")) +
             file("header-name", "") + kEnd,
         {seen("header-name", 0)}},
        {"an L record after a PAX header wins",
         pax(paxRecord("path", "pax-name")) + record({.name = "././@LongLink", .typeflag = 'L'}, "gnu-name") +
             file("header-name", "") + kEnd,
         {seen("gnu-name", 0)}},
        {"a global header is skipped and changes nothing",
         pax(paxRecord("comment", std::string(3000, 'c')), 'g') + file("plain", "z") + kEnd,
         {seen("plain", 1, "z")}},
        {"names do not leak into the next entry",
         pax(paxRecord("path", "pax-name")) + file("one", "") + file("two", "") + kEnd,
         {seen("pax-name", 0), seen("two", 0)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Walked w = walk(c.archive, DataUse::stream, 4096);
        EXPECT_FALSE(w.error) << errorName(*w.error);
        expectEntries(w, c.expected);
    }
}

std::string withField(std::string block, std::size_t offset, std::string_view bytes) {
    block.replace(offset, bytes.size(), bytes);
    setChecksum(block);
    return block;
}

TEST(TarReader, ReportsEachDefectByName) {
    const std::string good = header({.name = "f", .size = 3});
    std::string bad_sum = good;
    bad_sum[0] = 'g';
    std::string sum_not_octal = good;
    sum_not_octal.replace(148, 4, "12x4");
    std::string pax_long_area = header({.name = "p", .size = 1000, .typeflag = 'x'}) + std::string(1000, '1');

    struct Case {
        std::string_view name;
        std::string archive;
        Error expected;
        std::size_t storage = 4096;
    };
    const Case cases[] = {
        {"header cut 300 bytes in", file("a", "x") + std::string(300, '\0'), Error::UnexpectedEndOfStream},
        {"checksum mismatch", bad_sum + padded("abc"), Error::TarHeaderChksum},
        {"checksum field not octal", sum_not_octal, Error::TarHeader},
        {"size field not octal", withField(good, 124, "0000000009\0"), Error::TarHeader},
        {"mode field not octal", withField(good, 100, "06a4"), Error::TarHeader},
        {"mode with a NUL between digits", withField(good, 100, std::string("06\x00" "4", 4)), Error::TarHeader},
        {"negative base-256 size", withField(good, 124, std::string("\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xfe", 12)),
         Error::TarNumericValueNegative},
        {"base-256 size beyond 64 bits", withField(good, 124, std::string("\x80\0\0\x01\0\0\0\0\0\0\0\x05", 12)),
         Error::TarNumericValueTooBig},
        {"hard link", file("a", "1") + record({.name = "b", .typeflag = '1', .linkname = "a"}, ""),
         Error::TarUnsupportedHeader},
        {"character device", record({.name = "c", .typeflag = '3'}, ""), Error::TarUnsupportedHeader},
        {"fifo", record({.name = "p", .typeflag = '6'}, ""), Error::TarUnsupportedHeader},
        {"contiguous file", record({.name = "c", .typeflag = '7'}, ""), Error::TarUnsupportedHeader},
        {"GNU sparse", record({.name = "s", .typeflag = 'S'}, ""), Error::TarUnsupportedHeader},
        {"GNU volume label", record({.name = "v", .typeflag = 'V'}, ""), Error::TarUnsupportedHeader},
        {"data cut short", good + "ab", Error::EndOfStream},
        {"padding cut short", good + "abc" + std::string(100, '\0'), Error::EndOfStream},
        {"GNU long name of 1025 bytes", record({.name = "L", .typeflag = 'L'}, std::string(1025, 'n')),
         Error::TarInsufficientBuffer},
        {"GNU long link of 1025 bytes", record({.name = "K", .typeflag = 'K'}, std::string(1025, 'k')),
         Error::TarInsufficientBuffer},
        {"GNU long name cut short", header({.name = "L", .size = 600, .typeflag = 'L'}) + std::string(100, 'n'),
         Error::EndOfStream},
        {"PAX path of 1025 bytes", pax(paxRecord("path", std::string(1025, 'p'))), Error::TarInsufficientBuffer},
        {"PAX linkpath of 1025 bytes", pax(paxRecord("linkpath", std::string(1025, 'p'))),
         Error::TarInsufficientBuffer},
        {"PAX length not a number", pax("1x path=a\n"), Error::InvalidCharacter},
        {"PAX length empty", pax(" path=abcd\n"), Error::InvalidCharacter},
        {"PAX length beyond 64 bits", pax("99999999999999999999 path=a\n"), Error::Overflow},
        {"PAX length without a space in the look-ahead", pax_long_area, Error::StreamTooLong, 512},
        {"PAX area ends inside the length", header({.name = "p", .size = 3, .typeflag = 'x'}) + "12",
         Error::EndOfStream},
        {"PAX keyword never ends", header({.name = "p", .size = 20, .typeflag = 'x'}) + "20 pathpathpath",
         Error::EndOfStream},
        {"PAX NUL in keyword", pax(std::string("12 pa\0h=abc\n", 12)), Error::PaxNullInKeyword},
        {"PAX length shorter than its record", pax("5 path=abc\n"), Error::UnexpectedEndOfStream},
        {"PAX length beyond the area", pax("99 path=abc\n"), Error::UnexpectedEndOfStream},
        {"PAX value cut short", header({.name = "p", .size = 30, .typeflag = 'x'}) + "30 path=abc",
         Error::UnexpectedEndOfStream},
        {"PAX path without newline", pax("12 path=abcX"), Error::PaxInvalidAttributeEnd},
        {"PAX unknown keyword without newline", pax("13 mtime=1234X"), Error::PaxInvalidAttributeEnd},
        {"PAX newline missing at the end of input", header({.name = "p", .size = 12, .typeflag = 'x'}) + "12 path=abc",
         Error::EndOfStream},
        {"PAX NUL in path", pax(paxRecord("path", std::string("a\0b", 3))), Error::PaxNullInValue},
        {"PAX NUL in linkpath", pax(paxRecord("linkpath", std::string("a\0b", 3))), Error::PaxNullInValue},
        {"PAX NUL in size", pax(paxRecord("size", std::string("1\0", 2))), Error::PaxNullInValue},
        {"PAX size of 65 bytes", pax(paxRecord("size", std::string(65, '1'))), Error::PaxSizeAttrOverflow},
        {"PAX size not decimal", pax(paxRecord("size", "12a")), Error::InvalidCharacter},
        {"PAX size beyond 64 bits", pax(paxRecord("size", "18446744073709551616")), Error::Overflow},
        {"PAX global header cut short", header({.name = "g", .size = 5000, .typeflag = 'g'}) + std::string(100, 'g'),
         Error::TarHeadersTooBig},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Walked w = walk(c.archive, DataUse::skip, c.storage);
        ASSERT_TRUE(w.error);
        EXPECT_EQ(errorName(*w.error), errorName(c.expected));
    }
}

TEST(TarReader, StreamDataReportsInputEndAndSinkFailure) {
    class FailingSink final : public TarDataSink {
    public:
        Result<void> write(std::string_view) override { return std::unexpected(Error::NoSpaceLeft); }
    };
    {
        const std::string archive = file("f", std::string(2000, 'x')) + kEnd;
        MemoryReader source(archive);
        std::array<char, 1024> storage{};
        BufferedReader input(source, storage);
        TarReader reader(input);
        ASSERT_TRUE(*reader.next());
        FailingSink sink;
        // The sink's own error, so that a full disk is named as such.
        EXPECT_EQ(reader.streamData(sink).error(), Error::NoSpaceLeft);
    }
    {
        const std::string archive = header({.name = "f", .size = 2000}) + std::string(1500, 'x');
        const Walked streamed = walk(archive, DataUse::stream);
        ASSERT_TRUE(streamed.error);
        EXPECT_EQ(*streamed.error, Error::EndOfStream);
        const Walked pulled = walk(archive, DataUse::read_small);
        ASSERT_TRUE(pulled.error);
        EXPECT_EQ(*pulled.error, Error::EndOfStream);
        EXPECT_EQ(pulled.entries.at(0).data, std::string(1500, 'x'));
    }
}

// A gzip or deflate defect below the reader surfaces as ReadFailed.
TEST(TarReader, DecoderFailureIsReadFailed) {
    const std::string not_gzip = file("plain.txt", "not compressed") + kEnd;
    MemoryReader source(not_gzip);
    std::vector<char> workspace(kInflateWorkspaceSize);
    Inflater inflater(source, Container::gzip, workspace);
    std::array<char, 4096> storage{};
    BufferedReader input(inflater, storage);
    const Walked w = walkReader(input, DataUse::stream);
    ASSERT_TRUE(w.error);
    EXPECT_EQ(*w.error, Error::ReadFailed);
}

}  // namespace
}  // namespace qs

// ---- archives written by real tools ----------------------------------------

namespace qs {
namespace {

struct Tool {
    std::string_view name;
    // Run by /bin/sh in the source directory with the member names as "$@";
    // writes ../out.tar.
    std::string_view script;
    // How a long name reaches the reader: GNU L/K records (the name plus a
    // NUL, so 1023 bytes at most) or PAX records (1024 bytes at most).
    enum class LongNames { none, gnu, pax } long_names;
};

constexpr std::string_view kPythonTar =
    "import sys, tarfile\n"
    "fmt = getattr(tarfile, sys.argv[1])\n"
    "with tarfile.open(sys.argv[2], 'w', format=fmt) as t:\n"
    "    for name in sys.argv[3:]:\n"
    "        t.add(name, recursive=False)\n";

const Tool kTools[] = {
    {"gnu tar gnu", "tar --format=gnu --no-recursion -cf ../out.tar \"$@\"", Tool::LongNames::gnu},
    {"gnu tar oldgnu", "tar --format=oldgnu --no-recursion -cf ../out.tar \"$@\"", Tool::LongNames::gnu},
    {"gnu tar posix", "tar --format=posix --no-recursion -cf ../out.tar \"$@\"", Tool::LongNames::pax},
    {"gnu tar ustar", "tar --format=ustar --no-recursion -cf ../out.tar \"$@\"", Tool::LongNames::none},
    {"gnu tar v7", "tar --format=v7 --no-recursion -cf ../out.tar \"$@\"", Tool::LongNames::none},
    {"bsdtar pax", "bsdtar --format=pax -n -cf ../out.tar \"$@\"", Tool::LongNames::pax},
    {"bsdtar default", "bsdtar -n -cf ../out.tar \"$@\"", Tool::LongNames::pax},
    {"bsdtar ustar", "bsdtar --format=ustar -n -cf ../out.tar \"$@\"", Tool::LongNames::none},
    {"bsdtar gnutar", "bsdtar --format=gnutar -n -cf ../out.tar \"$@\"", Tool::LongNames::gnu},
    {"python GNU", "python3 ../make_tar.py GNU_FORMAT ../out.tar \"$@\"", Tool::LongNames::gnu},
    {"python PAX", "python3 ../make_tar.py PAX_FORMAT ../out.tar \"$@\"", Tool::LongNames::pax},
    {"python USTAR", "python3 ../make_tar.py USTAR_FORMAT ../out.tar \"$@\"", Tool::LongNames::none},
};

// A source tree plus the archive a tool makes of it.
class ToolArchive {
public:
    ToolArchive() {
        std::filesystem::create_directory(dir_ / "src");
        test::writeFile(dir_ / "make_tar.py", kPythonTar);
    }
    [[nodiscard]] std::string src(std::string_view name) const { return dir_ / ("src/" + std::string(name)); }

    void addFile(const std::string& name, std::string_view data, std::filesystem::perms mode) {
        std::filesystem::create_directories(std::filesystem::path(src(name)).parent_path());
        test::writeFile(src(name), data);
        std::filesystem::permissions(src(name), mode);
    }
    void addDir(const std::string& name) { std::filesystem::create_directories(src(name)); }
    void addLink(const std::string& name, const std::string& target) {
        std::filesystem::create_symlink(target, src(name));
    }

    // Runs the tool over `members`, in that order; empty on failure.
    std::optional<std::string> make(const Tool& tool, const std::vector<std::string>& members) {
        std::filesystem::remove(dir_ / "out.tar");
        test::RunOptions options;
        options.args = {"-c", std::string(tool.script), "sh"};
        options.args.insert(options.args.end(), members.begin(), members.end());
        options.working_dir = dir_ / "src";
        const auto run = test::runProcess("/bin/sh", options);
        if (run.exit_status != 0) return std::nullopt;
        return test::readFile(dir_ / "out.tar");
    }

private:
    test::TempDir dir_;
};

std::string withoutTrailingSlash(std::string name) {
    if (name.size() > 1 && name.back() == '/') name.pop_back();
    return name;
}

// A path of exactly `length` bytes, split into components short enough for
// the file system.
std::string longPath(std::size_t length, char fill) {
    std::string path(length, fill);
    for (std::size_t at = 200; at + 1 < length; at += 201) path[at] = '/';
    return path;
}

TEST(TarReaderTools, ReadsWhatEachToolWrites) {
    namespace fs = std::filesystem;
    ToolArchive tree;
    const std::string odd(70001, 'o');
    std::string block(1536, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31);
    tree.addDir("dir");
    fs::permissions(tree.src("dir"), fs::perms(0755));
    tree.addFile("dir/file.txt", "hello\n", fs::perms(0640));
    tree.addFile("dir/empty", "", fs::perms(0600));
    tree.addFile("dir/block.bin", block, fs::perms(0644));
    tree.addLink("dir/link", "file.txt");
    tree.addFile("odd.bin", odd, fs::perms(0755));
    const std::vector<std::string> members = {"dir", "dir/file.txt", "dir/empty", "dir/block.bin",
                                              "dir/link", "odd.bin"};
    const std::vector<Seen> expected = {
        seen("dir", 0, "", TarEntryKind::directory, "", 0755),
        seen("dir/file.txt", 6, "hello\n", TarEntryKind::file, "", 0640),
        seen("dir/empty", 0, "", TarEntryKind::file, "", 0600),
        seen("dir/block.bin", 1536, block, TarEntryKind::file, "", 0644),
        seen("dir/link", 0, "", TarEntryKind::sym_link, "file.txt", 0777),
        seen("odd.bin", 70001, odd, TarEntryKind::file, "", 0755),
    };
    for (const Tool& tool : kTools) {
        SCOPED_TRACE(tool.name);
        const auto archive = tree.make(tool, members);
        ASSERT_TRUE(archive);
        for (const DataUse use : {DataUse::stream, DataUse::alternate}) {
            Walked w = walk(*archive, use);
            ASSERT_FALSE(w.error) << errorName(*w.error);
            for (Seen& s : w.entries) {
                if (s.kind == TarEntryKind::directory) s.name = withoutTrailingSlash(s.name);
                s.mode &= 07777;
            }
            std::vector<Seen> want = expected;
            if (use == DataUse::alternate) {
                for (std::size_t i = 1; i < want.size(); i += 2) want[i].data.clear();
            }
            expectEntries(w, want);
        }
    }
}

TEST(TarReaderTools, LongNamesUpTo1024Bytes) {
    namespace fs = std::filesystem;
    for (const Tool& tool : kTools) {
        if (tool.long_names == Tool::LongNames::none) continue;
        // GNU records carry the name's NUL terminator within the 1024 bytes.
        const std::size_t longest = tool.long_names == Tool::LongNames::gnu ? 1023 : 1024;
        for (const std::size_t length : {std::size_t{300}, longest, longest + 1}) {
            SCOPED_TRACE(testing::Message() << tool.name << ", length " << length);
            ToolArchive tree;
            const std::string name = longPath(length, 'n');
            const std::string target(length, 't');
            tree.addFile(name, "long", fs::perms(0644));
            tree.addLink("link", target);
            tree.addFile("after", "a", fs::perms(0644));
            {
                const auto archive = tree.make(tool, {name, "after"});
                ASSERT_TRUE(archive);
                const Walked w = walk(*archive);
                if (length <= longest) {
                    ASSERT_FALSE(w.error) << errorName(*w.error);
                    expectEntries(w, {seen(name, 4, "long"), seen("after", 1, "a")});
                } else {
                    ASSERT_TRUE(w.error);
                    EXPECT_EQ(*w.error, Error::TarInsufficientBuffer);
                }
            }
            {
                const auto archive = tree.make(tool, {"link", "after"});
                ASSERT_TRUE(archive);
                Walked w = walk(*archive);
                if (length <= longest) {
                    ASSERT_FALSE(w.error) << errorName(*w.error);
                    ASSERT_EQ(w.entries.size(), 2u);
                    EXPECT_EQ(w.entries[0].name, "link");
                    EXPECT_EQ(w.entries[0].kind, TarEntryKind::sym_link);
                    EXPECT_EQ(w.entries[0].link_name, target);
                    EXPECT_EQ(w.entries[1].name, "after");
                } else {
                    ASSERT_TRUE(w.error);
                    EXPECT_EQ(*w.error, Error::TarInsufficientBuffer);
                }
            }
        }
    }
}

// ustar keeps names up to 255 bytes by splitting them into prefix and name.
TEST(TarReaderTools, UstarPrefixSplitNames) {
    namespace fs = std::filesystem;
    ToolArchive tree;
    const std::string name = std::string(120, 'p') + "/" + std::string(60, 'q') + "/name.txt";
    tree.addFile(name, "split", fs::perms(0644));
    for (const Tool& tool : kTools) {
        if (tool.name.find("ustar") == std::string_view::npos && tool.name.find("USTAR") == std::string_view::npos)
            continue;
        SCOPED_TRACE(tool.name);
        const auto archive = tree.make(tool, {name});
        ASSERT_TRUE(archive);
        ASSERT_NE(archive->substr(345, 155).find('p'), std::string::npos) << "the prefix field is used";
        const Walked w = walk(*archive);
        ASSERT_FALSE(w.error) << errorName(*w.error);
        expectEntries(w, {seen(name, 5, "split")});
    }
}

// Hard links, fifos and sparse files are refused, after the entries before them.
TEST(TarReaderTools, UnsupportedTypesStopTheArchive) {
    namespace fs = std::filesystem;
    ToolArchive tree;
    tree.addFile("first", "1", fs::perms(0644));
    tree.addFile("second", "2", fs::perms(0644));
    fs::create_hard_link(tree.src("first"), tree.src("hard"));
    test::RunOptions mkfifo;
    mkfifo.args = {tree.src("fifo")};
    ASSERT_EQ(test::runProcess("/usr/bin/mkfifo", mkfifo).exit_status, 0);
    for (const Tool& tool : kTools) {
        SCOPED_TRACE(tool.name);
        for (const std::string_view odd : {"hard", "fifo"}) {
            if (odd == "fifo" && tool.name == "gnu tar v7") continue;  // v7 has no type for it
            const auto archive = tree.make(tool, {"first", std::string(odd), "second"});
            ASSERT_TRUE(archive);
            const Walked w = walk(*archive);
            ASSERT_TRUE(w.error);
            EXPECT_EQ(*w.error, Error::TarUnsupportedHeader);
            ASSERT_EQ(w.entries.size(), 1u);
            EXPECT_EQ(w.entries[0].name, "first");
        }
    }
}

// GNU tar's PAX headers (with fractional times) and a global header; the
// same archive gzipped by gzip and read through the inflater.
TEST(TarReaderTools, GnuPaxArchiveThroughTheInflater) {
    namespace fs = std::filesystem;
    ToolArchive tree;
    const std::string name = longPath(400, 'z');
    tree.addFile(name, std::string(5000, 'd'), fs::perms(0644));
    tree.addFile("small", "s", fs::perms(0600));
    const Tool tool{"gnu tar posix with a global header",
                    "tar --format=posix --pax-option=comment=global --pax-option=atime:=1.5 "
                    "--no-recursion -cf ../out.tar \"$@\" && gzip -c ../out.tar > ../out.tar.gz",
                    Tool::LongNames::pax};
    const auto archive = tree.make(tool, {name, "small"});
    ASSERT_TRUE(archive);
    ASSERT_NE(archive->find("comment=global"), std::string::npos);
    const std::string gz = test::readFile(std::filesystem::path(tree.src("")).parent_path().parent_path() / "out.tar.gz");
    for (const InflateEngine engine : {InflateEngine::zlib, InflateEngine::isal}) {
        if (!inflateEngineAvailable(engine)) continue;
        MemoryReader source(gz);
        std::vector<char> workspace(kInflateWorkspaceSize);
        Inflater inflater(source, Container::gzip, workspace, engine);
        std::array<char, 8192> storage{};
        BufferedReader input(inflater, storage);
        const Walked w = walkReader(input, DataUse::stream);
        ASSERT_FALSE(w.error) << errorName(*w.error);
        expectEntries(w, {seen(name, 5000, std::string(5000, 'd')), seen("small", 1, "s", TarEntryKind::file, "", 0600)});
    }
}

}  // namespace
}  // namespace qs
