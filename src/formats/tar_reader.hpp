#pragma once
// Reads a tar stream entry by entry: POSIX ustar headers, GNU long-name and
// long-link records and PAX extended headers. It never seeks, never
// allocates and writes nothing; entry data is skipped or handed straight to
// the caller.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "formats/buffered_reader.hpp"

namespace qs {

enum class TarEntryKind : std::uint8_t { file, directory, sym_link };

struct TarEntry {
    // Both refer into the reader's buffers and stay valid until the next
    // call of next(). No encoding is assumed.
    std::string_view name;
    std::string_view link_name;  // empty when the archive gives none
    std::uint64_t size = 0;      // data bytes that follow the header
    std::uint32_t mode = 0;      // the header's mode field, unchanged
    TarEntryKind kind = TarEntryKind::file;
};

// Where streamData copies an entry's data.
class TarDataSink {
public:
    TarDataSink() = default;
    TarDataSink(const TarDataSink&) = delete;
    TarDataSink& operator=(const TarDataSink&) = delete;
    virtual ~TarDataSink() = default;
    [[nodiscard]] virtual Result<void> write(std::string_view bytes) = 0;
};

inline constexpr std::size_t kTarBlockSize = 512;
// Longest name or link target an entry may carry; paths handed to the
// system must be shorter than 1024 bytes anyway, so nothing longer could be
// extracted.
inline constexpr std::size_t kTarNameCapacity = 1024;
// The input's look-ahead must hold at least one header block; its size also
// bounds the length and keyword of a PAX record (StreamTooLong beyond it).
inline constexpr std::size_t kTarMinimumLookAhead = kTarBlockSize;

class TarReader {
public:
    // `input` (not owned) must offer at least kTarMinimumLookAhead bytes of
    // look-ahead.
    explicit TarReader(BufferedReader& input) : input_(input) {}
    TarReader(const TarReader&) = delete;
    TarReader& operator=(const TarReader&) = delete;

    // The next entry, or std::nullopt at the end of the archive. Skips what
    // the caller left of the previous entry's data and its padding. Errors:
    // UnexpectedEndOfStream, EndOfStream, ReadFailed (or whatever else the
    // input's source reports), StreamTooLong, TarHeader, TarHeaderChksum,
    // TarNumericValueNegative, TarNumericValueTooBig, TarInsufficientBuffer,
    // PaxNullInKeyword, PaxInvalidAttributeEnd, PaxSizeAttrOverflow,
    // PaxNullInValue, TarHeadersTooBig, TarUnsupportedHeader,
    // InvalidCharacter, Overflow. After an error or the end, the reader is
    // not used again.
    [[nodiscard]] Result<std::optional<TarEntry>> next();

    // Copies the current entry's unread data (all of it, unless readData
    // took some) to `sink`. EndOfStream when the input ends early,
    // The sink's error when the sink fails, the input's error otherwise.
    [[nodiscard]] Result<void> streamData(TarDataSink& sink);

    // Up to out.size() bytes of the current entry's data; 0 once it is all
    // read. EndOfStream when the input ends early.
    [[nodiscard]] Result<std::size_t> readData(std::span<char> out);

    // Data bytes of the current entry not yet consumed.
    [[nodiscard]] std::uint64_t unread() const { return unread_; }

private:
    // What L, K and x records have set for the entry being assembled; a zero
    // length or size means "not set, take it from the header".
    struct Pending {
        std::size_t name_length = 0;
        std::size_t link_length = 0;
        std::uint64_t size = 0;
    };
    enum class HeaderRead { block, end };

    [[nodiscard]] Result<HeaderRead> readHeader();
    [[nodiscard]] Result<std::size_t> readLongRecord(std::uint64_t size, std::span<char> buffer);
    [[nodiscard]] Result<void> readPaxRecords(std::uint64_t size, Pending& pending);
    [[nodiscard]] Result<std::size_t> findInLookAhead(char byte);
    [[nodiscard]] Result<std::size_t> readPaxValue(std::size_t length, std::span<char> buffer);

    BufferedReader& input_;
    bool ended_ = false;
    std::uint64_t padding_ = 0;
    std::uint64_t unread_ = 0;
    std::array<char, kTarBlockSize> header_{};
    std::array<char, kTarNameCapacity> name_{};
    std::array<char, kTarNameCapacity> link_{};
};

}  // namespace qs
