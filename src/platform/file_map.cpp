#include "platform/file_map.hpp"

#include <cerrno>
#include <limits>
#include <sys/mman.h>
#include <utility>

namespace qs::platform {

namespace {

Error mapError(int e) {
    switch (e) {
    case ENOMEM:
    case EAGAIN: return Error::OutOfMemory;
    case EOVERFLOW: return Error::FileTooBig;
    case EACCES: return Error::AccessDenied;
    default: return Error::Unexpected;
    }
}

}  // namespace

Result<FileMap> FileMap::map(int fd, std::uint64_t size) {
    FileMap mapped;
    if (size == 0) return mapped;
    if (size > std::numeric_limits<std::size_t>::max() / 2) {
        return std::unexpected(Error::FileTooBig);
    }
    void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return std::unexpected(mapError(errno));
    mapped.data_ = static_cast<char*>(p);
    mapped.size_ = static_cast<std::size_t>(size);
    // Read once from front to back.
    (void)::madvise(p, mapped.size_, MADV_SEQUENTIAL);
    return mapped;
}

FileMap::~FileMap() { release(); }

FileMap::FileMap(FileMap&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

FileMap& FileMap::operator=(FileMap&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void FileMap::release() {
    if (data_ != nullptr) ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

}  // namespace qs::platform
