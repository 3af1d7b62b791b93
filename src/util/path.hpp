#pragma once
// Paths are text joined with "/" and never normalised. Two limits apply:
// a path handed to the system must be shorter than kMaxSystemPath bytes,
// and a path composed in a fixed buffer must fit kPathBufferSize bytes.

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "util/error.hpp"

namespace qs {

// The system's PATH_MAX on FreeBSD is 1024 including the terminating NUL.
inline constexpr std::size_t kMaxSystemPath = 1024;
// Composition buffers hold one page; longer compositions are refused.
inline constexpr std::size_t kPathBufferSize = 4096;

// NameTooLong unless the path is shorter than kMaxSystemPath bytes. Call this
// before every system call that takes the path, so the limit holds on every OS.
[[nodiscard]] Result<void> checkSystemPath(std::string_view path);

// A NUL-terminated path composed from pieces in a fixed buffer, no heap.
class PathBuffer {
public:
    PathBuffer() { bytes_[0] = '\0'; }

    // Appends the pieces verbatim; NameTooLong (buffer unchanged) when the
    // result with its NUL would not fit kPathBufferSize bytes.
    [[nodiscard]] Result<void> append(std::string_view piece);
    [[nodiscard]] Result<void> append(std::initializer_list<std::string_view> pieces);
    void clear() {
        length_ = 0;
        bytes_[0] = '\0';
    }
    // Drops bytes past `length` (no-op if the path is already shorter).
    void truncate(std::size_t length);

    [[nodiscard]] std::string_view view() const { return {bytes_.data(), length_}; }
    [[nodiscard]] const char* c_str() const { return bytes_.data(); }
    [[nodiscard]] std::size_t size() const { return length_; }

private:
    std::array<char, kPathBufferSize> bytes_;
    std::size_t length_ = 0;
};

// Composes the pieces and checks the system limit in one step.
[[nodiscard]] Result<void> composeSystemPath(PathBuffer& out,
                                             std::initializer_list<std::string_view> pieces);

}  // namespace qs
