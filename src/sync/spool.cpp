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
        spool.directory_path_.append(directory).append("/").append(kSpoolPrefix).append(
            std::to_string(platform::processId()));
        spool.path_.append(spool.directory_path_).append("/").append(kSpoolFileName);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    // A file by this name is what an agent before the private directory left.
    (void)removeTree(spool.directory_path_);
    const auto made = platform::makePrivateDirectory(spool.directory_path_);
    if (!made || *made != platform::PrivateDirectory::created) {
        const Error error = made ? Error::PathAlreadyExists : made.error();
        spool.directory_path_.clear();
        spool.path_.clear();
        return std::unexpected(error);
    }
    auto opened = platform::openDirectoryNoFollowAt(platform::kWorkingDirectory, spool.directory_path_);
    if (!opened) return std::unexpected(opened.error());
    spool.directory_ = std::move(*opened);
    auto created = platform::createExclusiveFileAt(spool.directory_.get(), kSpoolFileName);
    if (!created) return std::unexpected(created.error());
    spool.fd_ = std::move(*created);
    return spool;
}

Spool& Spool::operator=(Spool&& other) noexcept {
    if (this != &other) {
        remove();
        directory_ = std::move(other.directory_);
        directory_path_ = std::move(other.directory_path_);
        fd_ = std::move(other.fd_);
        path_ = std::move(other.path_);
        size_ = std::exchange(other.size_, 0);
        other.directory_path_.clear();
        other.path_.clear();
    }
    return *this;
}

Spool::~Spool() { remove(); }

void Spool::removeDirectory() {
    if (!path_.empty() && directory_) platform::removeEntryIgnoringResult(directory_.get(), kSpoolFileName);
    path_.clear();
    directory_.reset();
    // By name: whatever stands there now is the agent's directory, or was
    // put there by someone who could have removed it as well.
    if (!directory_path_.empty()) (void)removeTree(directory_path_);
    directory_path_.clear();
}

void Spool::remove() {
    removeDirectory();
    fd_.reset();
}

Result<void> Spool::write(std::string_view bytes) {
    QS_TRY(platform::writeAll(fd_.get(), bytes));
    size_ += bytes.size();
    return {};
}

void Spool::removeName() { removeDirectory(); }

Result<void> Spool::moveTo(std::string_view destination) {
    const std::size_t slash = destination.rfind('/');
    const std::string_view parent = slash == std::string_view::npos ? std::string_view(".")
                                    : slash == 0                    ? std::string_view("/")
                                                                    : destination.substr(0, slash);
    const std::string_view name = slash == std::string_view::npos ? destination : destination.substr(slash + 1);
    QS_TRY_ASSIGN(const platform::Fd target, platform::openDirectory(parent));
    QS_TRY(platform::renameBetween(directory_.get(), kSpoolFileName, target.get(), name));
    path_.clear();
    removeDirectory();
    return {};
}

Result<std::size_t> SpoolReader::read(std::span<char> out) {
    QS_TRY_ASSIGN(const std::size_t n, platform::readSomeAt(fd_, out, offset_));
    offset_ += n;
    return n;
}


}  // namespace qs
