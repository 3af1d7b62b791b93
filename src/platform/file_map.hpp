#pragma once
// A read-only view of an open file's first bytes (mmap(2) of a regular
// file, shared): the kernel pages it in as it is read and may drop those
// pages again at any time, so reading a large file this way holds no heap
// memory of its own.

#include <cstdint>
#include <string_view>

#include "util/error.hpp"

namespace qs::platform {

class FileMap {
public:
    // The first `size` bytes of `fd` (0 gives an empty view and maps
    // nothing). Errors: OutOfMemory when the address space or the mapping
    // count runs out, FileTooBig when `size` does not fit this process,
    // AccessDenied for a descriptor not open for reading, Unexpected else.
    [[nodiscard]] static Result<FileMap> map(int fd, std::uint64_t size);

    FileMap() = default;
    ~FileMap();
    FileMap(FileMap&& other) noexcept;
    FileMap& operator=(FileMap&& other) noexcept;
    FileMap(const FileMap&) = delete;
    FileMap& operator=(const FileMap&) = delete;

    [[nodiscard]] std::string_view view() const { return {data_, size_}; }

private:
    void release();

    char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace qs::platform
