#include "platform/page_buffer.hpp"

#include <cstring>
#include <sys/mman.h>
#include <utility>

namespace qs::platform {

namespace {

// 64 GiB of address space: far beyond any bundle, tiny against the 128 TiB a
// 64-bit process has. Untouched pages cost nothing.
constexpr std::size_t kFirstReservation = std::size_t{64} << 30;

#ifndef MAP_NORESERVE
#define MAP_NORESERVE 0
#endif

char* reserve(std::size_t bytes) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                     -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
}

}  // namespace

PageBuffer::~PageBuffer() { release(); }

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      reserved_(std::exchange(other.reserved_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        reserved_ = std::exchange(other.reserved_, 0);
    }
    return *this;
}

void PageBuffer::release() {
    if (data_ != nullptr) ::munmap(data_, reserved_);
    data_ = nullptr;
    size_ = 0;
    reserved_ = 0;
}

Result<std::span<char>> PageBuffer::spare(std::size_t count) {
    if (reserved_ - size_ >= count) return std::span<char>(data_ + size_, count);
    // First use, or a body beyond the reservation: take a bigger range and
    // move the data once. A failed reservation (strict overcommit, small
    // address-space limits) halves the request before giving up.
    std::size_t want = reserved_ == 0 ? kFirstReservation : reserved_ * 2;
    while (want - size_ >= count) {
        if (char* fresh = reserve(want)) {
            if (size_ > 0) std::memcpy(fresh, data_, size_);
            const std::size_t kept = size_;
            release();
            data_ = fresh;
            size_ = kept;
            reserved_ = want;
            return std::span<char>(data_ + size_, count);
        }
        want /= 2;
    }
    return std::unexpected(Error::OutOfMemory);
}

}  // namespace qs::platform
