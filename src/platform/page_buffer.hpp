#pragma once
// A growable byte buffer for whole response bodies. It reserves a large
// range of address space up front and lets the kernel back pages only as
// they are written, so the buffer never copies itself while it grows and the
// resident size stays the body size (a doubling vector would hold the old
// and the new copy at once: three times the body at its peak).

#include <cstddef>
#include <span>
#include <string_view>

#include "util/error.hpp"

namespace qs::platform {

class PageBuffer {
public:
    PageBuffer() = default;
    ~PageBuffer();
    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    // Space for at least `count` more bytes after the data, to be filled by
    // the caller and then committed with grow(). OutOfMemory when neither the
    // reservation nor a larger replacement can be had.
    [[nodiscard]] Result<std::span<char>> spare(std::size_t count);
    void grow(std::size_t count) { size_ += count; }

    [[nodiscard]] std::string_view view() const { return {data_, size_}; }
    [[nodiscard]] std::size_t size() const { return size_; }

private:
    void release();
    // Commits pages up to `end` (rounded up to a step) before they are written.
    void populateThrough(std::size_t end);

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t reserved_ = 0;
    std::size_t populated_ = 0;  // pages below this offset are committed
    bool populate_failed_ = false;
};

}  // namespace qs::platform
