#include "sync/direct_install.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "deploy/extract_archive.hpp"
#include "deploy/flush_tree.hpp"
#include "deploy/remove_tree.hpp"
#include "formats/buffered_reader.hpp"
#include "formats/memory_reader.hpp"
#include "log/log.hpp"
#include "platform/directory.hpp"
#include "platform/fd.hpp"
#include "platform/file_create.hpp"
#include "platform/path_calls.hpp"
#include "platform/process_state.hpp"
#include "sync/install_hooks.hpp"
#include "sync/manifest.hpp"
#include "sync/version_store.hpp"

namespace qs {

namespace {

using log::Scope;
using Kind = ExtractObserver::Kind;

// The entry list is written and read back through buffers of this size: a
// few hundred names per system call, and nothing against the memory an
// install already takes.
constexpr std::size_t kJournalBuffer = 32 * 1024;
// A record: the kind ('f' or 'd'), the name's length in four bytes (least
// significant first), the name.
constexpr std::size_t kRecordHead = 5;
// Entries in the way are named one line each up to this many; beyond it
// they are only counted, so a tree full of them cannot flood the log.
constexpr std::size_t kMaxConflictLines = 100;

// The entries of one extraction in archive order, kept in a file without a
// name in the staging directory rather than in memory: an archive of a
// million small files costs no more memory than one of a single file.
class EntryJournal final : public ExtractObserver {
public:
    // `names`, when given, also gets every name, for the manifest.
    EntryJournal(platform::Fd fd, std::string_view shown_as, std::vector<std::string>* names)
        : fd_(std::move(fd)), shown_as_(shown_as), names_(names), buffer_(new char[kJournalBuffer]) {}

    [[nodiscard]] Result<void> written(std::string_view relative, Kind kind) override {
        if (relative.size() > UINT32_MAX) return std::unexpected(Error::NameTooLong);
        std::array<char, kRecordHead> head{};
        head[0] = kind == Kind::file ? 'f' : 'd';
        auto length = static_cast<std::uint32_t>(relative.size());
        for (std::size_t i = 1; i < kRecordHead; ++i, length >>= 8) {
            head[i] = static_cast<char>(length & 0xff);
        }
        if (auto kept = append({head.data(), head.size()}); !kept) return failed(kept.error());
        if (auto kept = append(relative); !kept) return failed(kept.error());
        if (kind == Kind::file) ++files_;
        if (names_ != nullptr) names_->emplace_back(relative);
        return {};
    }

    // Writes out what the buffer holds; the list can then be read.
    [[nodiscard]] Result<void> complete() {
        if (auto flushed = flush(); !flushed) return failed(flushed.error());
        return {};
    }

    [[nodiscard]] int fd() const { return fd_.get(); }
    [[nodiscard]] std::uint64_t files() const { return files_; }

private:
    Result<void> failed(Error error) {
        log::error(Scope::bundle, "failed to keep the list of entries for ", shown_as_, ": ", error);
        return std::unexpected(error);
    }

    Result<void> append(std::string_view bytes) {
        if (used_ + bytes.size() > kJournalBuffer) QS_TRY(flush());
        if (bytes.size() > kJournalBuffer) return platform::writeAll(fd_.get(), bytes);
        std::copy(bytes.begin(), bytes.end(), buffer_.get() + used_);
        used_ += bytes.size();
        return {};
    }

    Result<void> flush() {
        const std::string_view pending(buffer_.get(), used_);
        used_ = 0;
        return platform::writeAll(fd_.get(), pending);
    }

    platform::Fd fd_;
    std::string_view shown_as_;
    std::vector<std::string>* names_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    std::uint64_t files_ = 0;
};

// Reads the entry list from its start.
class JournalCursor {
public:
    explicit JournalCursor(int fd)
        : file_(fd), storage_(new char[kJournalBuffer]),
          input_(file_, std::span<char>(storage_.get(), kJournalBuffer)) {}

    // The next record; false at the end of the list.
    [[nodiscard]] Result<bool> next() {
        QS_TRY_ASSIGN(const std::size_t buffered, input_.fill(kRecordHead));
        if (buffered == 0) return false;
        std::array<char, kRecordHead> head{};
        QS_TRY(input_.readExact(head));
        kind_ = head[0] == 'f' ? Kind::file : Kind::directory;
        std::uint32_t length = 0;
        for (std::size_t i = kRecordHead - 1; i >= 1; --i) {
            length = (length << 8) | static_cast<unsigned char>(head[i]);
        }
        try {
            name_.resize(length);
        } catch (const std::bad_alloc&) {
            return std::unexpected(Error::OutOfMemory);
        }
        QS_TRY(input_.readExact(std::span<char>(name_.data(), name_.size())));
        return true;
    }

    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] const std::string& name() const { return name_; }

private:
    class FileReader final : public Reader {
    public:
        explicit FileReader(int fd) : fd_(fd) {}
        [[nodiscard]] Result<std::size_t> read(std::span<char> out) override {
            QS_TRY_ASSIGN(const std::size_t n, platform::readSomeAt(fd_, out, offset_));
            offset_ += n;
            return n;
        }

    private:
        int fd_;
        std::uint64_t offset_ = 0;
    };

    FileReader file_;
    std::unique_ptr<char[]> storage_;
    BufferedReader input_;
    Kind kind_ = Kind::file;
    std::string name_;
};

// "a/b/c" is parent "a/b" and base "c"; "c" is parent "" and base "c".
std::pair<std::string_view, std::string_view> splitName(std::string_view name) {
    const std::size_t slash = name.rfind('/');
    if (slash == std::string_view::npos) return {{}, name};
    return {name.substr(0, slash), name.substr(slash + 1)};
}

std::string_view nextComponent(std::string_view& rest) {
    const std::size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
    return component;
}

// The directory below a root that the entry in hand lives in, kept open:
// an archive lists a directory's files together, so most entries reuse it.
// Never through a link: each component is opened as a directory of the one
// before.
class OpenParent {
public:
    enum class Make { no, yes };
    explicit OpenParent(int root) : root_(root) {}

    // The directory `relative` ("" is the root); with Make::yes missing
    // components are made (0755 less the umask).
    [[nodiscard]] Result<int> open(std::string_view relative, Make make) {
        if (path_ && *path_ == relative) return current();
        path_.reset();
        fd_.reset();
        made_ = false;
        std::string_view rest = relative;
        while (!rest.empty()) {
            const std::string_view component = nextComponent(rest);
            const int at = current();
            if (make == Make::yes) {
                QS_TRY_ASSIGN(const platform::DirectoryMade made, platform::makeDirectoryAt(at, component));
                if (made == platform::DirectoryMade::created) made_ = true;
            }
            QS_TRY_ASSIGN(fd_, platform::openDirectoryNoFollowAt(at, component));
        }
        try {
            path_.emplace(relative);
        } catch (const std::bad_alloc&) {
            return std::unexpected(Error::OutOfMemory);
        }
        return current();
    }

    // Whether the last open() made the directory or one above it, so that
    // nothing of an earlier install can be in it.
    [[nodiscard]] bool made() const { return made_; }

private:
    [[nodiscard]] int current() const { return fd_ ? fd_.get() : root_; }

    int root_;
    std::optional<std::string> path_;
    platform::Fd fd_;
    bool made_ = false;
};

const char* kindText(platform::EntryKind kind) {
    switch (kind) {
    case platform::EntryKind::directory: return "a directory";
    case platform::EntryKind::regular: return "a file";
    case platform::EntryKind::symlink: return "a symbolic link";
    case platform::EntryKind::special: return "a FIFO, socket or device";
    case platform::EntryKind::missing: return "nothing";
    }
    return "?";
}

class DirectInstall {
public:
    DirectInstall(const Bundle& bundle, std::string_view version)
        : bundle_(bundle), version_(version), prune_(prunes(bundle)) {}
    ~DirectInstall() {
        if (!staging_dir_.empty()) (void)removeTree(staging_dir_);
    }
    DirectInstall(const DirectInstall&) = delete;
    DirectInstall& operator=(const DirectInstall&) = delete;

    // Everything that comes before target_dir is touched: the staging
    // directory, the extraction into it, the look for entries in the way
    // and, with durable, the flush of the new files. A failure here has
    // changed nothing in target_dir.
    [[nodiscard]] Result<void> stage(Reader& archive, ArchiveStream stream,
                                     const std::function<void()>& read_done);
    // Moves the staged entries into target_dir, then post_sync.
    [[nodiscard]] Result<void> finish(std::string_view etag);

private:
    [[nodiscard]] Result<void> prepare();
    [[nodiscard]] Result<void> findConflicts();
    // With prune, before anything moves: the record names what the last
    // install wrote and what this one may write, so that whatever a
    // failed or cut short move leaves is still pruned later.
    [[nodiscard]] Result<void> recordBeforeMove();
    // With prune, after the move: what the last install wrote and this
    // payload lacks goes, and the record names this payload's paths.
    void pruneAfterMove();
    [[nodiscard]] Result<void> move();
    // Exchanges the staged file `base` in `from` with the one in `to`.
    [[nodiscard]] Result<bool> exchangeOver(int from, int to, std::string_view name,
                                            std::string_view base);
    void reportMoved(std::uint64_t records_before);
    // Looks at the parent `relative` of the next entries in target_dir.
    enum class Parent { present, missing, in_the_way };
    [[nodiscard]] Result<Parent> lookAtParent(std::string_view relative, platform::Fd& opened,
                                              Result<void>& first_conflict);
    void conflict(std::string_view relative, platform::EntryKind found, Kind wanted,
                  Result<void>& first_conflict);

    const Bundle& bundle_;
    std::string_view version_;
    std::string staging_dir_;
    platform::Fd target_fd_;
    platform::Fd staging_fd_;
    std::optional<EntryJournal> journal_;
    std::uint32_t count_ = 0;
    std::size_t conflicts_ = 0;
    const bool prune_;
    // With prune: every path the payload holds, and what the record named
    // before this install (nothing without a record).
    std::vector<std::string> payload_paths_;
    std::optional<std::vector<std::string>> previous_paths_;
};

Result<void> DirectInstall::prepare() {
    const std::string_view target_dir = bundle_.target_dir;
    std::string staging_name;
    try {
        staging_name = stagingName(version_, platform::processId());
        staging_dir_ = joinPath(target_dir, staging_name);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    const auto refuse = [&](Error error) -> Result<void> {
        log::error(Scope::bundle, "failed to create staging dir ", staging_dir_, ": ", error);
        return std::unexpected(Error::MakePath);
    };
    auto target = platform::openDirectory(target_dir);
    if (!target) {
        const Result<void> refused = refuse(target.error());
        staging_dir_.clear();
        return refused;
    }
    target_fd_ = std::move(*target);
    // The same name in this process can only be left from a removal that
    // failed before.
    (void)removeTree(staging_dir_);
    auto made = platform::makeDirectoryAt(target_fd_.get(), staging_name);
    if (made && *made == platform::DirectoryMade::existed) made = std::unexpected(Error::PathAlreadyExists);
    if (!made) {
        const Result<void> refused = refuse(made.error());
        staging_dir_.clear();
        return refused;
    }
    // Extracted into only through the descriptor that checked the new
    // directory, so it cannot be swapped for a link in between.
    auto staging = platform::openDirectoryNoFollowAt(target_fd_.get(), staging_name);
    if (!staging) return refuse(staging.error());
    staging_fd_ = std::move(*staging);
    auto list = platform::createUnnamedFile(staging_dir_);
    if (!list) return refuse(list.error());
    journal_.emplace(std::move(*list), bundle_.target_dir, prune_ ? &payload_paths_ : nullptr);
    return {};
}

Result<void> DirectInstall::stage(Reader& archive, ArchiveStream stream,
                                  const std::function<void()>& read_done) {
    QS_TRY(prepare());
    const ExtractResult extracted =
        extractArchiveAt(archive, staging_fd_.get(), staging_dir_, bundle_.target_dir,
                         bundle_.extract_owner, bundle_.extract_mode, extractLimits(bundle_, stream),
                         &*journal_);
    if (read_done) read_done();
    if (extracted.error) return std::unexpected(*extracted.error);
    count_ = extracted.count;
    QS_TRY(journal_->complete());
    QS_TRY(findConflicts());
    if (prune_) QS_TRY(recordBeforeMove());
    if (isDurable(bundle_)) {
        // The files' data reaches the disk before any name in target_dir
        // refers to it.
        if (auto flushed = flushTree(staging_dir_, preferredFlushMethod()); !flushed) {
            log::error(Scope::bundle, "failed to flush ", bundle_.target_dir, ": ", flushed.error());
            return std::unexpected(flushed.error());
        }
    }
    return {};
}

void DirectInstall::conflict(std::string_view relative, platform::EntryKind found, Kind wanted,
                             Result<void>& first_conflict) {
    if (first_conflict) {
        first_conflict = std::unexpected(found == platform::EntryKind::directory ? Error::IsDir
                                         : wanted == Kind::directory         ? Error::NotDir
                                                                             : Error::PathAlreadyExists);
    }
    if (++conflicts_ > kMaxConflictLines) return;
    log::error(Scope::bundle, bundle_.target_dir, "/", relative, " is ", kindText(found),
               " where the payload has a ", wanted == Kind::file ? "file" : "directory",
               "; it is not replaced");
}

Result<DirectInstall::Parent> DirectInstall::lookAtParent(std::string_view relative,
                                                          platform::Fd& opened,
                                                          Result<void>& first_conflict) {
    opened.reset();
    std::string_view rest = relative;
    while (!rest.empty()) {
        const std::string_view component = nextComponent(rest);
        const int at = opened ? opened.get() : target_fd_.get();
        const std::string_view so_far = relative.substr(0, relative.size() - rest.size() -
                                                               (rest.empty() ? 0 : 1));
        QS_TRY_ASSIGN(const platform::EntryKind kind, platform::entryKindAt(at, component));
        if (kind == platform::EntryKind::missing) return Parent::missing;
        if (kind != platform::EntryKind::directory) {
            conflict(so_far, kind, Kind::directory, first_conflict);
            return Parent::in_the_way;
        }
        QS_TRY_ASSIGN(opened, platform::openDirectoryNoFollowAt(at, component));
    }
    return Parent::present;
}

// Renaming over a FIFO or a device would not open it, but such an entry (or
// a directory) where the payload has a file is the operator's, and a
// directory cannot be renamed over anyway: every entry in the way is found
// before anything moves, so that the install fails whole.
Result<void> DirectInstall::findConflicts() {
    Result<void> first_conflict;
    const auto lookFailed = [&](std::string_view relative, Error error) -> Result<void> {
        log::error(Scope::bundle, "failed to look at ", bundle_.target_dir, "/", relative, ": ", error);
        return std::unexpected(error);
    };
    JournalCursor cursor(journal_->fd());
    std::optional<std::string> looked;
    Parent parent = Parent::present;
    platform::Fd parent_fd;
    for (;;) {
        auto next = cursor.next();
        if (!next) return lookFailed("", next.error());
        if (!*next) break;
        const std::string& name = cursor.name();
        const auto [parent_name, base] = splitName(name);
        if (!looked || *looked != parent_name) {
            try {
                looked.emplace(parent_name);
            } catch (const std::bad_alloc&) {
                return std::unexpected(Error::OutOfMemory);
            }
            auto result = lookAtParent(parent_name, parent_fd, first_conflict);
            if (!result) return lookFailed(parent_name, result.error());
            parent = *result;
        }
        if (parent != Parent::present) continue;
        const int at = parent_fd ? parent_fd.get() : target_fd_.get();
        auto kind = platform::entryKindAt(at, base);
        if (!kind) return lookFailed(name, kind.error());
        const bool fits = cursor.kind() == Kind::file
                              ? *kind != platform::EntryKind::directory &&
                                    *kind != platform::EntryKind::special
                              : *kind == platform::EntryKind::missing ||
                                    *kind == platform::EntryKind::directory;
        if (!fits) conflict(name, *kind, cursor.kind(), first_conflict);
    }
    if (conflicts_ > kMaxConflictLines) {
        log::error(Scope::bundle, conflicts_ - kMaxConflictLines, " more entries of ",
                   bundle_.target_dir, " are in the way");
    }
    return first_conflict;
}

Result<void> DirectInstall::recordBeforeMove() {
    try {
        payload_paths_ = payloadPaths(std::move(payload_paths_));
        previous_paths_ = loadManifest(bundle_);
        if (!previous_paths_) return saveManifest(bundle_, payload_paths_);
        return saveManifest(bundle_, mergePaths(*previous_paths_, payload_paths_));
    } catch (const std::bad_alloc&) {
        log::error(Scope::bundle, "failed to write ", bundle_.target_dir, "/", kManifestName, ": ",
                   Error::OutOfMemory);
        return std::unexpected(Error::OutOfMemory);
    }
}

void DirectInstall::pruneAfterMove() {
    try {
        std::vector<std::string> kept;
        if (previous_paths_) kept = prunePaths(bundle_, *previous_paths_, payload_paths_);
        (void)saveManifest(bundle_, mergePaths(payload_paths_, kept));
    } catch (const std::bad_alloc&) {
        // The record written before the move still names everything.
    }
}

Result<void> DirectInstall::move() {
    OpenParent target(target_fd_.get());
    OpenParent staging(staging_fd_.get());
    JournalCursor cursor(journal_->fd());
    std::uint64_t records = 0;
    const auto moveFailed = [&](std::string_view name, Error error) -> Result<void> {
        log::error(Scope::bundle, "failed to move ", name, " into ", bundle_.target_dir, ": ", error);
        reportMoved(records);
        return std::unexpected(error);
    };
    for (;; ++records) {
        auto next = cursor.next();
        if (!next) return moveFailed("the next entry", next.error());
        if (!*next) return {};
        const std::string& name = cursor.name();
        if (cursor.kind() == Kind::directory) {
            if (auto made = target.open(name, OpenParent::Make::yes); !made) {
                return moveFailed(name, made.error());
            }
            continue;
        }
        const auto [parent_name, base] = splitName(name);
        auto to = target.open(parent_name, OpenParent::Make::yes);
        if (!to) return moveFailed(name, to.error());
        auto from = staging.open(parent_name, OpenParent::Make::no);
        if (!from) return moveFailed(name, from.error());
        if (!target.made()) {
            auto exchanged = exchangeOver(*from, *to, name, base);
            if (!exchanged) return moveFailed(name, exchanged.error());
            if (*exchanged) continue;
        }
        if (auto renamed = platform::renameBetween(*from, base, *to, base); !renamed) {
            // A name the archive holds twice was moved at its first entry,
            // with the contents of its last.
            const auto left = platform::entryKindAt(*from, base);
            if (renamed.error() == Error::FileNotFound && left &&
                *left == platform::EntryKind::missing) {
                continue;
            }
            return moveFailed(name, renamed.error());
        }
    }
}

// A staged file takes the place of the one in target_dir in one exchange,
// and the old one, now in the staging directory, is removed there. A
// rename over the old file would do the same for readers, but on ext4 a
// rename that replaces a file first writes out the new file's data (its
// guard for programs that never flush), for every file of the payload:
// flushing is what durable asks for, and only then. False when there is no
// exchange to be had (no old file, or no such call on this system): the
// caller renames instead.
Result<bool> DirectInstall::exchangeOver(int from, int to, std::string_view name,
                                         std::string_view base) {
    auto exchanged = platform::exchangeBetween(from, base, to, base);
    if (!exchanged || *exchanged != platform::Exchange::exchanged) return false;
    // `base` is the tail of the record's name, so a NUL follows it.
    auto removed = platform::unlinkAt(from, base.data(), platform::UnlinkTarget::nonDirectory);
    if (removed) return true;
    const bool directory =
        removed.error() == Error::IsDir ||
        (removed.error() == Error::PermissionDenied && platform::isDirectoryAt(from, base.data()).value_or(false));
    // Anything else left there goes with the staging directory.
    if (!directory) return true;
    // A directory came in after the look for entries in the way: it goes
    // back where it was, whole.
    (void)platform::exchangeBetween(from, base, to, base);
    Result<void> unused;
    conflict(name, platform::EntryKind::directory, Kind::file, unused);
    return std::unexpected(Error::IsDir);
}

// The files of the records before the failing one, which are in target_dir
// now, so that an operator knows what changed.
void DirectInstall::reportMoved(std::uint64_t records_before) {
    JournalCursor cursor(journal_->fd());
    std::uint64_t moved = 0;
    for (std::uint64_t i = 0; i < records_before; ++i) {
        auto next = cursor.next();
        if (!next || !*next) break;
        if (cursor.kind() == Kind::file) ++moved;
    }
    log::error(Scope::bundle, moved, " of ", journal_->files(), " file(s) moved into ",
               bundle_.target_dir, " before the failure (direct mode)");
    JournalCursor again(journal_->fd());
    for (std::uint64_t i = 0; i < records_before; ++i) {
        auto next = again.next();
        if (!next || !*next) break;
        if (again.kind() == Kind::file) {
            log::error(Scope::bundle, "moved into ", bundle_.target_dir, ": ", again.name());
        }
    }
}

Result<void> DirectInstall::finish(std::string_view etag) {
    QS_TRY(move());
    staging_fd_.reset();
    journal_.reset();
    if (auto removed = removeTree(staging_dir_); !removed) {
        log::warn(Scope::bundle, "failed to remove ", staging_dir_, ": ", removed.error());
    }
    staging_dir_.clear();
    bool flushed = true;
    if (isDurable(bundle_)) {
        if (auto synced = flushTree(bundle_.target_dir, preferredFlushMethod()); !synced) {
            log::error(Scope::bundle, "failed to flush ", bundle_.target_dir, ": ", synced.error());
            flushed = false;
        }
    }
    log::info(Scope::bundle, "extracted ", count_, " file(s) to ", bundle_.target_dir, " (direct)");
    if (prune_) pruneAfterMove();
    runHook(bundle_, "files written", hookVariables(bundle_, version_, {}, etag, std::nullopt));
    // Not durable means the ETag must not be recorded: a power loss could
    // otherwise leave a recorded ETag over files that never reached the disk.
    if (!flushed) return std::unexpected(Error::InputOutput);
    return {};
}

}  // namespace

void reportDirectUnchanged(const Bundle& bundle) {
    log::error(Scope::bundle, bundle.target_dir, " left as it was: nothing was moved into it (direct mode)");
}

Result<void> applyDirect(const Bundle& bundle, std::string_view version, std::string_view body,
                         std::string_view etag) {
    MemoryReader memory(body);
    return applyDirectFrom(bundle, version, memory, etag);
}

Result<void> applyDirectFrom(const Bundle& bundle, std::string_view version, Reader& archive,
                             std::string_view etag, ArchiveStream stream,
                             const std::function<void()>& read_done) {
    DirectInstall install(bundle, version);
    if (auto staged = install.stage(archive, stream, read_done); !staged) {
        reportDirectUnchanged(bundle);
        return staged;
    }
    return install.finish(etag);
}

}  // namespace qs
