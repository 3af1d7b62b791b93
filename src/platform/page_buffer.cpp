#include "platform/page_buffer.hpp"

#include <algorithm>
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

// Pages are committed ahead of the data in steps of this size. Left to
// themselves they fault in one 4 KiB page at a time as the socket copy
// first touches each, which costs about as much as the copy itself; one
// populating call per step does the same work in bulk, measurably faster on
// a fast connection. Resident memory stays within one step of the data.
constexpr std::size_t kPopulateStep = std::size_t{4} << 20;

// Asks the kernel to back [from, to) now. Where the call is missing (older
// kernels, other systems) or refused, the pages simply fault in on first
// write; nothing depends on it.
bool populate(char* from, std::size_t length) {
#ifdef MADV_POPULATE_WRITE
    return ::madvise(from, length, MADV_POPULATE_WRITE) == 0;
#else
    (void)from;
    (void)length;
    return false;
#endif
}

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
      reserved_(std::exchange(other.reserved_, 0)),
      populated_(std::exchange(other.populated_, 0)),
      populate_failed_(std::exchange(other.populate_failed_, false)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        reserved_ = std::exchange(other.reserved_, 0);
        populated_ = std::exchange(other.populated_, 0);
        populate_failed_ = std::exchange(other.populate_failed_, false);
    }
    return *this;
}

void PageBuffer::release() {
    if (data_ != nullptr) ::munmap(data_, reserved_);
    data_ = nullptr;
    size_ = 0;
    reserved_ = 0;
    populated_ = 0;
}

void PageBuffer::populateThrough(std::size_t end) {
    if (populate_failed_ || end <= populated_) return;
    const std::size_t steps = (end + kPopulateStep - 1) / kPopulateStep;
    const std::size_t target = std::min(reserved_, steps * kPopulateStep);
    if (!populate(data_ + populated_, target - populated_)) {
        populate_failed_ = true;
        return;
    }
    populated_ = target;
}

Result<std::span<char>> PageBuffer::spare(std::size_t count) {
    if (reserved_ - size_ >= count) {
        populateThrough(size_ + count);
        return std::span<char>(data_ + size_, count);
    }
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
            // The copy touched every page it wrote; populating restarts at
            // a step boundary because the call wants page-aligned ranges.
            populated_ = kept / kPopulateStep * kPopulateStep;
            populateThrough(size_ + count);
            return std::span<char>(data_ + size_, count);
        }
        want /= 2;
    }
    return std::unexpected(Error::OutOfMemory);
}

}  // namespace qs::platform
