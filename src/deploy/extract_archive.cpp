#include "deploy/extract_archive.hpp"

#include <algorithm>
#include <cstdint>
#include <array>
#include <new>
#include <span>

#include "log/log.hpp"
#include "deploy/ownership.hpp"
#include "formats/buffered_reader.hpp"
#include "formats/inflater.hpp"
#include "formats/memory_reader.hpp"
#include "formats/tar_reader.hpp"
#include "platform/fd.hpp"
#include "platform/directory.hpp"
#include "platform/file_create.hpp"
#include "util/path.hpp"

namespace qs {

namespace {

using log::Scope;

// Data reaches each file through a buffer of this size: large enough that a
// file costs few write calls, small enough to live on the stack.
constexpr std::size_t kFileBufferSize = 65536;
// The tar reader's look-ahead: whole header blocks plus room for the length
// and keyword of a PAX record.
constexpr std::size_t kLookAheadSize = 4096;
static_assert(kLookAheadSize >= kTarMinimumLookAhead);

// Collects entry data and writes it to the file in kFileBufferSize pieces.
class FileWriter final : public TarDataSink {
public:
    explicit FileWriter(int fd) : fd_(fd) {}

    [[nodiscard]] Result<void> write(std::string_view bytes) override {
        while (!bytes.empty()) {
            if (used_ == buffer_.size()) QS_TRY(flush());
            const std::size_t n = std::min(bytes.size(), buffer_.size() - used_);
            std::copy_n(bytes.data(), n, buffer_.data() + used_);
            used_ += n;
            bytes.remove_prefix(n);
        }
        return {};
    }

    [[nodiscard]] Result<void> flush() {
        const std::string_view pending(buffer_.data(), used_);
        used_ = 0;
        return platform::writeAll(fd_, pending);
    }

private:
    int fd_;
    std::size_t used_ = 0;
    std::array<char, kFileBufferSize> buffer_;
};

// Names are the archive's text: a ".." component is the one way a name
// joined below the destination could climb out of it, so such a name is
// refused outright rather than interpreted.
bool climbsOut(std::string_view name) {
    while (!name.empty()) {
        const std::size_t slash = name.find('/');
        if (name.substr(0, slash) == "..") return true;
        if (slash == std::string_view::npos) break;
        name.remove_prefix(slash + 1);
    }
    return false;
}

// Splits off the next non-empty component of `rest`; doubled and leading
// slashes stand for nothing, as they would in a path.
std::string_view nextComponent(std::string_view& rest) {
    while (rest.starts_with('/')) rest.remove_prefix(1);
    const std::size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash);
    while (rest.starts_with('/')) rest.remove_prefix(1);
    return component;
}

// The name an observer hears: components joined by single slashes, without
// empty and "." ones.
std::string relativeName(std::string_view name) {
    std::string relative;
    relative.reserve(name.size());
    while (!name.empty()) {
        const std::size_t slash = name.find('/');
        const std::string_view component = name.substr(0, slash);
        if (!component.empty() && component != ".") {
            if (!relative.empty()) relative.push_back('/');
            relative.append(component);
        }
        if (slash == std::string_view::npos) break;
        name.remove_prefix(slash + 1);
    }
    return relative;
}

[[nodiscard]] Result<void> drain(Reader& input) {
    std::array<char, 512> sink;
    for (;;) {
        QS_TRY_ASSIGN(const std::size_t n, input.read(sink));
        if (n == 0) return {};
    }
}

class Extraction {
public:
    // `destination_fd`, when not negative, is the destination already open
    // (not owned); otherwise `destination` is opened on first use. Log lines
    // name files below `shown_as`.
    Extraction(std::string_view destination, int destination_fd, std::string_view shown_as,
               const std::optional<std::string>& extract_owner,
               std::optional<std::uint32_t> extract_mode)
        : destination_(destination), given_fd_(destination_fd), shown_as_(shown_as),
          extract_owner_(extract_owner),
          extract_mode_(extract_mode) {}

    // Directory entries are best effort: a directory that cannot be made
    // shows up as a failure of the files below it.
    // Tells whether the directory is there.
    [[nodiscard]] bool makeDirectoryEntry(std::string_view directory);
    [[nodiscard]] Result<void> writeFile(TarReader& tar, const TarEntry& entry);

private:
    [[nodiscard]] Result<int> destinationFd();
    // Creates `base` in `parent` (the destination when none is open); `path`
    // is the full text, checked against the system limit first.
    [[nodiscard]] Result<platform::Fd> createFile(const std::string& path,
                                                  const platform::Fd& parent,
                                                  std::string_view base);
    // Opens `relative` below the destination, never through a link. With
    // `create_last`, its last component is made first (one level only, as
    // an existing directory is accepted).
    enum class CreateLast { no, yes };
    [[nodiscard]] Result<platform::Fd> openBelow(std::string_view relative, CreateLast create_last);

    std::string_view destination_;
    int given_fd_;
    // What the log lines call the destination.
    std::string_view shown_as_;
    const std::optional<std::string>& extract_owner_;
    std::optional<std::uint32_t> extract_mode_;
    platform::Fd destination_fd_;
};

Result<int> Extraction::destinationFd() {
    if (given_fd_ >= 0) return given_fd_;
    if (!destination_fd_) {
        QS_TRY_ASSIGN(destination_fd_, platform::openDirectory(destination_));
    }
    return destination_fd_.get();
}

Result<platform::Fd> Extraction::createFile(const std::string& path, const platform::Fd& parent,
                                            std::string_view base) {
    QS_TRY(checkSystemPath(path));
    if (parent) return platform::replaceFileAt(parent.get(), base);
    QS_TRY_ASSIGN(const int at, destinationFd());
    return platform::replaceFileAt(at, base);
}

Result<platform::Fd> Extraction::openBelow(std::string_view relative, CreateLast create_last) {
    QS_TRY_ASSIGN(const int base, destinationFd());
    platform::Fd current;
    std::string_view rest = relative;
    while (!rest.empty()) {
        const std::string_view component = nextComponent(rest);
        if (component.empty()) break;
        const int at = current ? current.get() : base;
        if (rest.empty() && create_last == CreateLast::yes) {
            QS_TRY(platform::makeDirectoryAt(at, component));
        }
        QS_TRY_ASSIGN(current, platform::openDirectoryNoFollowAt(at, component));
    }
    if (!current) {
        // Nothing but slashes: the destination itself.
        QS_TRY_ASSIGN(current, platform::openDirectoryNoFollowAt(base, "."));
    }
    return current;
}

bool Extraction::makeDirectoryEntry(std::string_view directory) {
    try {
        const std::string path = std::string(destination_) + "/" + std::string(directory);
        if (!checkSystemPath(path)) return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return openBelow(directory, CreateLast::yes).has_value();
}

Result<void> Extraction::writeFile(TarReader& tar, const TarEntry& entry) {
    const std::string_view name = entry.name;
    const std::size_t slash = name.rfind('/');
    const std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);

    platform::Fd parent;
    std::string path;
    Result<platform::Fd> created = std::unexpected(Error::Unexpected);
    try {
        path.assign(destination_).append("/").append(name);
        // Most files are new in a directory that exists already: one call
        // creates them without a link anywhere on the way. Anything else (a
        // missing parent, a link, an entry to replace, a real error) takes
        // the walk below, which makes the parent, removes what is in the
        // way and names what went wrong.
        if (checkSystemPath(path)) {
            std::string_view relative = name;
            while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
            if (const auto at = destinationFd(); at && !relative.empty()) {
                if (auto fast = platform::createFileBeneath(*at, relative)) created = std::move(*fast);
            }
        }
        if (!created && slash != std::string_view::npos) {
            const std::string_view parent_name = name.substr(0, slash);
            path.assign(destination_).append("/").append(parent_name);
            Result<platform::Fd> opened = std::unexpected(Error::NameTooLong);
            if (checkSystemPath(path)) opened = openBelow(parent_name, CreateLast::yes);
            if (!opened) {
                log::error(Scope::bundle, "failed to create subdir for ", name, ": ", opened.error());
                return std::unexpected(Error::MakePath);
            }
            parent = std::move(*opened);
        }
        path.assign(destination_).append("/").append(name);
        if (!created) created = createFile(path, parent, base);
        parent.reset();
        if (!created) {
            path.assign(shown_as_).append("/").append(name);
            log::error(Scope::bundle, "failed to create ", path, ": ", created.error());
        }
    } catch (const std::bad_alloc&) {
        log::error(Scope::bundle, "failed to write ", name, ": ", Error::OutOfMemory);
        return std::unexpected(Error::ExtractFailed);
    }
    if (!created) {
        log::error(Scope::bundle, "failed to write ", name, ": ", Error::CreateFileFailed);
        return std::unexpected(isStorageFull(created.error()) ? created.error() : Error::ExtractFailed);
    }
    platform::Fd file = std::move(*created);

    FileWriter writer(file.get());
    if (auto copied = tar.streamData(writer); !copied) {
        log::error(Scope::bundle, "failed to extract ", name, ": ", copied.error());
        file.reset();
        log::error(Scope::bundle, "failed to write ", name, ": ", Error::ExtractFailed);
        return std::unexpected(isStorageFull(copied.error()) ? copied.error() : Error::ExtractFailed);
    }
    if (auto flushed = writer.flush(); !flushed) {
        log::error(Scope::bundle, "failed to flush ", name, ": ", flushed.error());
        file.reset();
        log::error(Scope::bundle, "failed to write ", name, ": ", Error::WriteFailed);
        return std::unexpected(isStorageFull(flushed.error()) ? flushed.error() : Error::ExtractFailed);
    }
    // A link entry's mode is that of the link (usually 0777), not of the
    // plain file it turns into here, so it does not make the file writable
    // for everyone.
    const std::uint32_t entry_mode = entry.kind == TarEntryKind::sym_link ? 0 : entry.mode;
    applyFinalOwnership(file.get(), name, extract_owner_, extract_mode_, entry_mode);
    return {};
}

}  // namespace

namespace {

ExtractResult extractInto(Reader& archive, std::string_view destination, int destination_fd,
                          std::string_view shown_as,
                          const std::optional<std::string>& extract_owner,
                          std::optional<std::uint32_t> extract_mode,
                          const ExtractLimits& limits, ExtractObserver* observer) {
    std::array<char, kInflateWorkspaceSize> workspace;
    Inflater inflater(archive, Container::gzip, workspace);
    std::array<char, kLookAheadSize> look_ahead;
    Reader& decoded = limits.coding == ArchiveCoding::gzip ? static_cast<Reader&>(inflater) : archive;
    BufferedReader input(decoded, look_ahead);
    TarReader tar(input);
    Extraction extraction(destination, destination_fd, shown_as, extract_owner, extract_mode);

    ExtractResult result;
    std::uint64_t entries = 0;
    std::uint64_t unpacked = 0;
    for (;;) {
        auto next = tar.next();
        if (!next) {
            log::error(Scope::bundle, "tar iteration error: ", next.error());
            result.error = Error::TarParseFailed;
            return result;
        }
        if (!next->has_value()) {
            // The tar end block may come before the end of the gzip member;
            // reading on to it lets the decoder check the trailer, so a
            // payload damaged or cut short after the last entry still fails.
            if (auto drained = drain(input); !drained) {
                log::error(Scope::bundle, "tar iteration error: ", drained.error());
                result.error = Error::TarParseFailed;
            }
            return result;
        }
        const TarEntry& entry = **next;
        const std::string_view name = entry.name;

        // Checked on the header, before any data is read: a bomb stops at
        // the entry that would pass the limit, however large it claims to be.
        ++entries;
        if (limits.max_entries && entries > *limits.max_entries) {
            log::error(Scope::bundle, "archive has more than ", *limits.max_entries,
                       " entries (max_entries); extraction stopped at ", name);
            result.error = Error::ArchiveTooManyEntries;
            return result;
        }
        unpacked += std::min(entry.size, UINT64_MAX - unpacked);
        if (limits.max_unpacked_bytes && unpacked > *limits.max_unpacked_bytes) {
            log::error(Scope::bundle, "archive unpacks to more than ", *limits.max_unpacked_bytes,
                       " bytes (max_unpacked_bytes); extraction stopped at ", name);
            result.error = Error::ArchiveTooLarge;
            return result;
        }
        if (name.empty()) continue;

        if (climbsOut(name)) {
            log::error(Scope::bundle, "refusing ", name, ": a \"..\" component leads outside ",
                       shown_as, ": ", Error::BadPathName);
            log::error(Scope::bundle, "failed to write ", name, ": ", Error::ExtractFailed);
            result.error = Error::ExtractFailed;
            return result;
        }
        const bool directory = name.ends_with('/');
        if (directory) {
            if (!extraction.makeDirectoryEntry(name.substr(0, name.size() - 1))) continue;
        } else if (auto written = extraction.writeFile(tar, entry); !written) {
            result.error = written.error();
            return result;
        }
        if (observer != nullptr) {
            Result<void> told = std::unexpected(Error::OutOfMemory);
            try {
                const std::string relative = relativeName(name);
                told = relative.empty() ? Result<void>{}
                                        : observer->written(relative, directory
                                                                          ? ExtractObserver::Kind::directory
                                                                          : ExtractObserver::Kind::file);
            } catch (const std::bad_alloc&) {
            }
            if (!told) {
                log::error(Scope::bundle, "failed to write ", name, ": ", Error::ExtractFailed);
                result.error = Error::ExtractFailed;
                return result;
            }
        }
        if (!directory) ++result.count;
    }
}

}  // namespace

ExtractResult extractArchive(std::string_view archive, std::string_view destination,
                             const std::optional<std::string>& extract_owner,
                             std::optional<std::uint32_t> extract_mode,
                             const ExtractLimits& limits) {
    MemoryReader memory(archive);
    return extractInto(memory, destination, -1, destination, extract_owner, extract_mode, limits,
                       nullptr);
}

ExtractResult extractArchiveAt(std::string_view archive, int destination_fd,
                               std::string_view destination,
                               const std::optional<std::string>& extract_owner,
                               std::optional<std::uint32_t> extract_mode,
                               const ExtractLimits& limits) {
    MemoryReader memory(archive);
    return extractInto(memory, destination, destination_fd, destination, extract_owner,
                       extract_mode, limits, nullptr);
}

ExtractResult extractArchive(Reader& archive, std::string_view destination,
                             std::string_view shown_as,
                             const std::optional<std::string>& extract_owner,
                             std::optional<std::uint32_t> extract_mode,
                             const ExtractLimits& limits) {
    return extractInto(archive, destination, -1, shown_as, extract_owner, extract_mode, limits,
                       nullptr);
}

ExtractResult extractArchiveAt(Reader& archive, int destination_fd, std::string_view destination,
                               std::string_view shown_as,
                               const std::optional<std::string>& extract_owner,
                               std::optional<std::uint32_t> extract_mode,
                               const ExtractLimits& limits, ExtractObserver* observer) {
    return extractInto(archive, destination, destination_fd, shown_as, extract_owner,
                       extract_mode, limits, observer);
}

}  // namespace qs
