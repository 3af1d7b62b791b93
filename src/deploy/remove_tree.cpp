#include "deploy/remove_tree.hpp"

#include <array>
#include <cstddef>
#include <cstring>

#include "platform/directory.hpp"
#include "platform/fd.hpp"
#include "util/path.hpp"

namespace qs {

namespace {

using platform::DirectoryCursor;
using platform::EntryType;
using platform::Fd;
using platform::UnlinkTarget;

// Directories held open by the main walk. Each costs a descriptor and a
// chunk buffer on the stack; deeper levels are removed by the
// constant-memory method instead of growing the walk.
constexpr std::size_t kMaxOpenDirectories = 16;
// A directory entry's name with its NUL: NAME_MAX is 255 on Linux and FreeBSD.
constexpr std::size_t kNameSize = 256;

using Name = std::array<char, kNameSize>;

[[nodiscard]] Result<void> copyName(Name& out, std::string_view name) {
    if (name.size() >= out.size()) return std::unexpected(Error::NameTooLong);
    std::memcpy(out.data(), name.data(), name.size());
    out[name.size()] = '\0';
    return {};
}

// Removes `name` in `parent` if it is not a directory; if it is one, returns
// it open (no link followed) so that the caller can empty it. An invalid Fd
// means the name is gone. `hint` only chooses what to try first: the other
// kind is tried when the system says the guess was wrong.
[[nodiscard]] Result<Fd> removeEntry(int parent, const char* name, EntryType hint) {
    for (;;) {
        if (hint != EntryType::directory) {
            const auto unlinked = platform::unlinkAt(parent, name, UnlinkTarget::nonDirectory);
            if (unlinked || unlinked.error() == Error::FileNotFound) return Fd();
            switch (unlinked.error()) {
            case Error::IsDir: hint = EntryType::directory; continue;
            case Error::PermissionDenied:
            case Error::AccessDenied: {
                // Some systems refuse unlinking a directory with EPERM
                // rather than EISDIR; only a directory deserves a second try.
                const auto is_directory = platform::isDirectoryAt(parent, name);
                if (is_directory && *is_directory) {
                    hint = EntryType::directory;
                    continue;
                }
                return std::unexpected(unlinked.error());
            }
            default: return std::unexpected(unlinked.error());
            }
        }
        auto opened = platform::openDirectoryNoFollowAt(parent, name);
        if (opened) return std::move(*opened);
        if (opened.error() == Error::FileNotFound) return Fd();
        // A link in a directory's place is unlinked, never followed.
        if (opened.error() != Error::NotDir && opened.error() != Error::SymLinkLoop)
            return std::unexpected(opened.error());
        hint = EntryType::other;
    }
}

// Removes directory `name` in `parent` holding at most two descriptors and
// one name, whatever the depth: each pass walks down to the first leaf
// directory, removes it, and starts again from the top.
[[nodiscard]] Result<void> removeDeep(int parent, const char* name) {
    Name current_name{};
    DirectoryCursor cursor;
    for (;;) {
        QS_TRY_ASSIGN(Fd current, removeEntry(parent, name, EntryType::directory));
        if (!current) return {};
        Fd above;  // the directory `current` lives in, once the pass went down
        cursor.restart();
        for (;;) {
            QS_TRY_ASSIGN(const auto entry, cursor.next(current.get()));
            if (!entry) break;
            QS_TRY_ASSIGN(Fd below, removeEntry(current.get(), entry->name, entry->type));
            if (!below) continue;
            QS_TRY(copyName(current_name, entry->view()));
            above = std::move(current);
            current = std::move(below);
            cursor.restart();
        }
        current.reset();

        if (above) {
            // A leaf below `name`: whatever happened to it, the next pass
            // looks again from the top.
            const auto removed =
                platform::unlinkAt(above.get(), current_name.data(), UnlinkTarget::directory);
            if (removed || removed.error() == Error::FileNotFound ||
                removed.error() == Error::DirNotEmpty)
                continue;
            return std::unexpected(removed.error());
        }
        const auto removed = platform::unlinkAt(parent, name, UnlinkTarget::directory);
        if (removed || removed.error() == Error::FileNotFound) return {};
        if (removed.error() != Error::DirNotEmpty) return std::unexpected(removed.error());
        // Something was added meanwhile: empty it again.
    }
}

// One open directory of the main walk.
struct Level {
    Name name{};      // its name in the parent directory
    int parent = -1;  // the parent's descriptor, owned by the level below
    Fd fd;
    DirectoryCursor cursor;
};

class Walk {
public:
    // Descriptors close in reverse order of the levels when the walk ends on
    // any path.
    [[nodiscard]] Result<void> run(int parent, const char* name, Fd directory) {
        QS_TRY(push(parent, name, std::move(directory)));
        while (depth_ > 0) {
            Level& top = levels_[depth_ - 1];
            QS_TRY_ASSIGN(const auto entry, top.cursor.next(top.fd.get()));
            if (!entry) {
                QS_TRY(finish(top));
                continue;
            }
            if (entry->type == EntryType::directory && depth_ == kMaxOpenDirectories) {
                QS_TRY(removeDeep(top.fd.get(), entry->name));
                continue;
            }
            QS_TRY_ASSIGN(Fd below, removeEntry(top.fd.get(), entry->name, entry->type));
            if (!below) continue;
            if (depth_ == kMaxOpenDirectories) {
                // A directory whose type byte did not say so: the walk is
                // full, so the constant-memory method takes it from here.
                below.reset();
                QS_TRY(removeDeep(top.fd.get(), entry->name));
                continue;
            }
            QS_TRY(push(top.fd.get(), entry->name, std::move(below)));
        }
        return {};
    }

private:
    [[nodiscard]] Result<void> push(int parent, std::string_view name, Fd directory) {
        Level& level = levels_[depth_];
        QS_TRY(copyName(level.name, name));
        level.parent = parent;
        level.fd = std::move(directory);
        level.cursor.restart();
        ++depth_;
        return {};
    }

    // `top` has no entries left: close it and remove it from its parent.
    [[nodiscard]] Result<void> finish(Level& top) {
        top.fd.reset();
        --depth_;
        const auto removed =
            platform::unlinkAt(top.parent, top.name.data(), UnlinkTarget::directory);
        if (removed || removed.error() == Error::FileNotFound) return {};
        if (removed.error() != Error::DirNotEmpty) return std::unexpected(removed.error());
        // Something was added after the directory was emptied: empty it again.
        QS_TRY_ASSIGN(Fd again, removeEntry(top.parent, top.name.data(), EntryType::directory));
        if (!again) return {};
        top.fd = std::move(again);
        top.cursor.restart();
        ++depth_;
        return {};
    }

    std::array<Level, kMaxOpenDirectories> levels_;
    std::size_t depth_ = 0;
};

}  // namespace

Result<void> removeTree(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::unexpected(Error::CannotDeleteRootDirectory);
    const std::string_view parent_text = slash == 0 ? std::string_view("/") : path.substr(0, slash);
    const std::string_view base = path.substr(slash + 1);
    // "dir/.." would empty the directory above `dir`, and "dir/." `dir`
    // itself under a name that cannot be removed afterwards.
    if (base == "." || base == "..") return std::unexpected(Error::BadPathName);

    PathBuffer parent_path;
    QS_TRY(composeSystemPath(parent_path, {parent_text}));
    PathBuffer base_name;
    QS_TRY(composeSystemPath(base_name, {base}));

    QS_TRY_ASSIGN(const Fd parent, platform::openDirectory(parent_path.view()));
    QS_TRY_ASSIGN(Fd directory, removeEntry(parent.get(), base_name.c_str(), EntryType::other));
    if (!directory) return {};
    // The walk is about 21 KiB; it lives on this call's stack like the rest.
    Walk walk;
    return walk.run(parent.get(), base_name.c_str(), std::move(directory));
}

}  // namespace qs
