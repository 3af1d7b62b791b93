#pragma once
// A look-ahead buffer over another Reader, in storage the caller owns (so a
// reader with a fixed buffer allocates nothing). The tar reader uses it to
// read whole blocks and skip padding; the HTTP client uses it to scan a
// response head and leaves the bytes after the head for the body reader.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "formats/reader.hpp"

namespace qs {

class BufferedReader final : public Reader {
public:
    BufferedReader(Reader& source, std::span<char> storage) : source_(source), storage_(storage) {}

    // Buffered bytes first; a read larger than the buffer with nothing
    // buffered goes straight to the source, so bulk data is not copied twice.
    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;

    // Reads from the source until at least `count` bytes are buffered or the
    // source ends; `count` is capped at the capacity. Returns the number of
    // bytes buffered afterwards (below `count` only at the end of the stream).
    [[nodiscard]] Result<std::size_t> fill(std::size_t count);
    // One read from the source appended to the look-ahead (compacting first);
    // returns the number of bytes added, 0 at the end of the stream or when
    // the buffer is full (tell them apart with full()).
    [[nodiscard]] Result<std::size_t> fillMore();

    [[nodiscard]] std::string_view buffered() const {
        return {storage_.data() + start_, end_ - start_};
    }
    // Drops `count` bytes (at most buffered().size()) from the front.
    void consume(std::size_t count);
    // Offset of the first `byte` within the look-ahead, if there is one.
    [[nodiscard]] std::optional<std::size_t> findByte(char byte) const;

    // Exactly out.size() bytes, or UnexpectedEndOfStream.
    [[nodiscard]] Result<void> readExact(std::span<char> out);
    // Discards exactly `count` bytes, or UnexpectedEndOfStream.
    [[nodiscard]] Result<void> skip(std::uint64_t count);

    [[nodiscard]] std::size_t capacity() const { return storage_.size(); }
    [[nodiscard]] bool full() const { return end_ - start_ == storage_.size(); }

private:
    void compact();

    Reader& source_;
    std::span<char> storage_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

}  // namespace qs
