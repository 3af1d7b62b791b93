#include "sync/spool.hpp"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "deploy/remove_tree.hpp"
#include "platform/directory.hpp"
#include "platform/file_create.hpp"
#include "platform/path_calls.hpp"
#include "platform/process_state.hpp"

namespace qs {

Result<Spool> Spool::create(std::string_view directory) {
    Spool spool;
    try {
        spool.path_.append(directory).append("/").append(kSpoolPrefix).append(
            std::to_string(platform::processId()));
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    platform::unlinkIgnoringResult(spool.path_);
    auto created = platform::createExclusiveFile(spool.path_);
    if (!created) {
        spool.path_.clear();
        return std::unexpected(created.error());
    }
    spool.fd_ = std::move(*created);
    return spool;
}

Spool& Spool::operator=(Spool&& other) noexcept {
    if (this != &other) {
        remove();
        fd_ = std::move(other.fd_);
        path_ = std::move(other.path_);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

Spool::~Spool() { remove(); }

void Spool::remove() {
    if (!path_.empty()) platform::unlinkIgnoringResult(path_);
    path_.clear();
    fd_.reset();
}

Result<void> Spool::write(std::string_view bytes) {
    QS_TRY(platform::writeAll(fd_.get(), bytes));
    size_ += bytes.size();
    return {};
}

void Spool::removeName() {
    if (!path_.empty()) platform::unlinkIgnoringResult(path_);
    path_.clear();
}

Result<void> Spool::moveTo(std::string_view destination) {
    QS_TRY(platform::renamePath(path_, destination));
    path_.clear();
    return {};
}

Result<std::size_t> SpoolReader::read(std::span<char> out) {
    QS_TRY_ASSIGN(const std::size_t n, platform::readSomeAt(fd_, out, offset_));
    offset_ += n;
    return n;
}


}  // namespace qs
