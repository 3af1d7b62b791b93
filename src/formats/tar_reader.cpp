#include "formats/tar_reader.hpp"

#include <algorithm>
#include <cstring>

#include "util/integer_text.hpp"

namespace qs {
namespace {

// Header field offsets and widths.
constexpr std::size_t kNameOffset = 0, kNameWidth = 100;
constexpr std::size_t kModeOffset = 100, kModeWidth = 8;
constexpr std::size_t kSizeOffset = 124, kSizeWidth = 12;
constexpr std::size_t kChksumOffset = 148, kChksumWidth = 8;
constexpr std::size_t kTypeflagOffset = 156;
constexpr std::size_t kLinknameOffset = 157, kLinknameWidth = 100;
constexpr std::size_t kMagicOffset = 257;
constexpr std::size_t kPrefixOffset = 345, kPrefixWidth = 155;

// A PAX "size" value is a decimal 64-bit number: 20 digits, with room for
// the sign and underscores the integer text rules allow.
constexpr std::size_t kPaxSizeValueCapacity = 64;

std::string_view field(std::span<const char> block, std::size_t offset, std::size_t width) {
    return {block.data() + offset, width};
}

// Text up to the first NUL, or the whole field without one.
std::string_view cString(std::string_view text) {
    const std::size_t nul = text.find('\0');
    return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// Octal fields come padded every way tools have found: leading zeros or
// blanks, trailing blanks or NULs, or no digits at all.
Result<std::uint64_t> parseOctal(std::string_view text) {
    while (!text.empty() && (text.front() == '0' || text.front() == ' ')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
    if (text.empty()) return 0;
    const auto value = parseUnsigned(text, 8, IntegerWidth::bits64);
    if (!value) return std::unexpected(Error::TarHeader);
    return *value;
}

// GNU tar and others write sizes beyond 8 GiB in base-256: 0x80, then a
// big-endian number. Only the last eight bytes fit an unsigned 64-bit size.
Result<std::uint64_t> parseSize(std::string_view text) {
    const auto first = static_cast<unsigned char>(text[0]);
    if (first == 0xFF) return std::unexpected(Error::TarNumericValueNegative);
    if (first != 0x80) return parseOctal(text);
    if (text[1] != '\0' || text[2] != '\0' || text[3] != '\0')
        return std::unexpected(Error::TarNumericValueTooBig);
    std::uint64_t value = 0;
    for (std::size_t i = 4; i < kSizeWidth; ++i)
        value = (value << 8) | static_cast<unsigned char>(text[i]);
    return value;
}

std::uint64_t paddingOf(std::uint64_t size) {
    return (kTarBlockSize - size % kTarBlockSize) % kTarBlockSize;
}

bool isUstar(std::span<const char> block) {
    const std::string_view magic = field(block, kMagicOffset, 6);
    return magic.substr(0, 5) == "ustar" && (magic[5] == '\0' || magic[5] == ' ');
}

// The buffered reader says UnexpectedEndOfStream when it runs dry; some
// steps of the format report that as EndOfStream.
Result<void> endAs(Result<void> result, Error name) {
    if (!result && result.error() == Error::UnexpectedEndOfStream) return std::unexpected(name);
    return result;
}

enum class PaxKeyword { path, linkpath, size, other };

PaxKeyword classify(std::string_view keyword) {
    if (keyword == "path") return PaxKeyword::path;
    if (keyword == "linkpath") return PaxKeyword::linkpath;
    if (keyword == "size") return PaxKeyword::size;
    return PaxKeyword::other;
}

}  // namespace

Result<TarReader::HeaderRead> TarReader::readHeader() {
    if (padding_ > 0) {
        QS_TRY(endAs(input_.skip(padding_), Error::EndOfStream));
        padding_ = 0;
    }
    std::size_t got = 0;
    while (got < header_.size()) {
        QS_TRY_ASSIGN(const std::size_t n, input_.read(std::span(header_).subspan(got)));
        if (n == 0) break;
        got += n;
    }
    if (got == 0) return HeaderRead::end;
    if (got < header_.size()) return std::unexpected(Error::UnexpectedEndOfStream);

    QS_TRY_ASSIGN(const std::uint64_t chksum,
                  parseOctal(field(header_, kChksumOffset, kChksumWidth)));
    // Old tools summed signed chars, so either sum is accepted; the chksum
    // field itself counts as eight blanks.
    std::uint64_t unsigned_sum = 0;
    std::int64_t signed_sum = 0;
    for (std::size_t i = 0; i < header_.size(); ++i) {
        const char c = (i >= kChksumOffset && i < kChksumOffset + kChksumWidth) ? ' ' : header_[i];
        unsigned_sum += static_cast<unsigned char>(c);
        signed_sum += static_cast<signed char>(c);
    }
    if (chksum == 0 && unsigned_sum == 8 * ' ') return HeaderRead::end;  // an all-zero block
    const bool signed_matches = signed_sum >= 0 && chksum == static_cast<std::uint64_t>(signed_sum);
    if (chksum != unsigned_sum && !signed_matches) return std::unexpected(Error::TarHeaderChksum);
    if (chksum == 0) return HeaderRead::end;
    return HeaderRead::block;
}

Result<std::size_t> TarReader::readLongRecord(std::uint64_t size, std::span<char> buffer) {
    if (size > buffer.size()) return std::unexpected(Error::TarInsufficientBuffer);
    const auto bytes = buffer.first(static_cast<std::size_t>(size));
    QS_TRY(endAs(input_.readExact(bytes), Error::EndOfStream));
    return cString(std::string_view(bytes.data(), bytes.size())).size();
}

// Offset of the next `byte` in the look-ahead, reading more as needed. A
// PAX length or keyword must end within the look-ahead, which is what
// bounds them.
Result<std::size_t> TarReader::findInLookAhead(char byte) {
    for (;;) {
        if (const auto at = input_.findByte(byte)) return *at;
        if (input_.full()) return std::unexpected(Error::StreamTooLong);
        QS_TRY_ASSIGN(const std::size_t added, input_.fillMore());
        if (added == 0) return std::unexpected(Error::EndOfStream);
    }
}

// Reads a value of `length` bytes and the newline after it.
Result<std::size_t> TarReader::readPaxValue(std::size_t length, std::span<char> buffer) {
    if (length > buffer.size()) return std::unexpected(Error::TarInsufficientBuffer);
    const auto value = buffer.first(length);
    QS_TRY(input_.readExact(value));
    char end = '\0';
    QS_TRY(endAs(input_.readExact(std::span(&end, 1)), Error::EndOfStream));
    if (end != '\n') return std::unexpected(Error::PaxInvalidAttributeEnd);
    if (std::memchr(value.data(), '\0', value.size()) != nullptr)
        return std::unexpected(Error::PaxNullInValue);
    return length;
}

Result<void> TarReader::readPaxRecords(std::uint64_t size, Pending& pending) {
    std::uint64_t remaining = size;
    while (remaining > 0) {
        // "<length> <keyword>=<value>\n", where length counts the whole record.
        QS_TRY_ASSIGN(const std::size_t space, findInLookAhead(' '));
        const std::size_t digits = space;
        QS_TRY_ASSIGN(const std::uint64_t length,
                      parseUnsigned(input_.buffered().substr(0, space), 10, IntegerWidth::bits64));
        input_.consume(space + 1);

        QS_TRY_ASSIGN(const std::size_t equals, findInLookAhead('='));
        const std::string_view keyword_text = input_.buffered().substr(0, equals);
        if (keyword_text.find('\0') != std::string_view::npos)
            return std::unexpected(Error::PaxNullInKeyword);
        const PaxKeyword keyword = classify(keyword_text);
        input_.consume(equals + 1);

        const std::uint64_t overhead = std::uint64_t{digits} + equals + 3;
        if (length < overhead || length > remaining)
            return std::unexpected(Error::UnexpectedEndOfStream);
        const std::uint64_t value_length = length - overhead;
        remaining -= length;

        switch (keyword) {
        case PaxKeyword::path: {
            if (value_length > name_.size()) return std::unexpected(Error::TarInsufficientBuffer);
            QS_TRY_ASSIGN(pending.name_length,
                          readPaxValue(static_cast<std::size_t>(value_length), name_));
            break;
        }
        case PaxKeyword::linkpath: {
            if (value_length > link_.size()) return std::unexpected(Error::TarInsufficientBuffer);
            QS_TRY_ASSIGN(pending.link_length,
                          readPaxValue(static_cast<std::size_t>(value_length), link_));
            break;
        }
        case PaxKeyword::size: {
            if (value_length > kPaxSizeValueCapacity)
                return std::unexpected(Error::PaxSizeAttrOverflow);
            std::array<char, kPaxSizeValueCapacity> text{};
            QS_TRY_ASSIGN(const std::size_t n,
                          readPaxValue(static_cast<std::size_t>(value_length), text));
            QS_TRY_ASSIGN(pending.size,
                          parseUnsigned(std::string_view(text.data(), n), 10, IntegerWidth::bits64));
            break;
        }
        case PaxKeyword::other: {
            QS_TRY(input_.skip(value_length));
            char end = '\0';
            QS_TRY(endAs(input_.readExact(std::span(&end, 1)), Error::EndOfStream));
            if (end != '\n') return std::unexpected(Error::PaxInvalidAttributeEnd);
            break;
        }
        }
    }
    return {};
}

Result<std::optional<TarEntry>> TarReader::next() {
    if (ended_) return std::nullopt;
    if (unread_ > 0) {
        QS_TRY(endAs(input_.skip(unread_), Error::EndOfStream));
        unread_ = 0;
    }
    Pending pending;
    for (;;) {
        QS_TRY_ASSIGN(const HeaderRead read, readHeader());
        if (read == HeaderRead::end) {
            // Whatever follows the first end block (a second one, garbage,
            // nothing) is never read.
            ended_ = true;
            return std::nullopt;
        }
        const char typeflag = header_[kTypeflagOffset];
        QS_TRY_ASSIGN(const std::uint64_t size, parseSize(field(header_, kSizeOffset, kSizeWidth)));
        padding_ = paddingOf(size);

        TarEntryKind kind = TarEntryKind::file;
        switch (typeflag) {
        case '0':
        case '\0':
            kind = TarEntryKind::file;
            break;
        case '2':
            kind = TarEntryKind::sym_link;
            break;
        case '5':
            kind = TarEntryKind::directory;
            break;
        case 'L': {
            QS_TRY_ASSIGN(pending.name_length, readLongRecord(size, name_));
            continue;
        }
        case 'K': {
            QS_TRY_ASSIGN(pending.link_length, readLongRecord(size, link_));
            continue;
        }
        case 'x':
            // An extended header describes the entry right after it; what
            // earlier records set is dropped.
            pending = Pending{};
            QS_TRY(readPaxRecords(size, pending));
            continue;
        case 'g': {
            const auto skipped = input_.skip(size);
            if (!skipped) return std::unexpected(Error::TarHeadersTooBig);
            continue;
        }
        default:
            return std::unexpected(Error::TarUnsupportedHeader);
        }

        QS_TRY_ASSIGN(const std::uint64_t mode, parseOctal(field(header_, kModeOffset, kModeWidth)));
        TarEntry entry;
        entry.kind = kind;
        // The mode field is eight bytes of octal text, seven digits at most
        // for well-formed headers; keep the low 32 bits of anything longer.
        entry.mode = static_cast<std::uint32_t>(mode);
        entry.size = pending.size != 0 ? pending.size : size;

        if (pending.link_length == 0) {
            const std::string_view link = cString(field(header_, kLinknameOffset, kLinknameWidth));
            std::memcpy(link_.data(), link.data(), link.size());
            pending.link_length = link.size();
        }
        if (pending.name_length == 0) {
            const std::string_view name = cString(field(header_, kNameOffset, kNameWidth));
            const std::string_view prefix = cString(field(header_, kPrefixOffset, kPrefixWidth));
            std::size_t length = 0;
            if (isUstar(header_) && !prefix.empty()) {
                std::memcpy(name_.data(), prefix.data(), prefix.size());
                name_[prefix.size()] = '/';
                length = prefix.size() + 1;
            }
            std::memcpy(name_.data() + length, name.data(), name.size());
            pending.name_length = length + name.size();
        }
        entry.name = std::string_view(name_.data(), pending.name_length);
        entry.link_name = std::string_view(link_.data(), pending.link_length);

        padding_ = paddingOf(entry.size);
        unread_ = entry.size;
        return entry;
    }
}

Result<void> TarReader::streamData(TarDataSink& sink) {
    while (unread_ > 0) {
        if (input_.buffered().empty()) {
            QS_TRY_ASSIGN(const std::size_t added, input_.fillMore());
            if (added == 0) return std::unexpected(Error::EndOfStream);
        }
        const std::string_view look = input_.buffered();
        const std::size_t step =
            static_cast<std::size_t>(std::min<std::uint64_t>(unread_, look.size()));
        // The sink's own error: a full disk must reach the operator by name.
        QS_TRY(sink.write(look.substr(0, step)));
        input_.consume(step);
        unread_ -= step;
    }
    return {};
}

Result<std::size_t> TarReader::readData(std::span<char> out) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(unread_, out.size()));
    if (want == 0) return 0;
    QS_TRY_ASSIGN(const std::size_t n, input_.read(out.first(want)));
    if (n == 0) return std::unexpected(Error::EndOfStream);
    unread_ -= n;
    return n;
}

}  // namespace qs
