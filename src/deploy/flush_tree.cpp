#include "deploy/flush_tree.hpp"

#include "platform/directory.hpp"
#include "platform/durability.hpp"
#include "platform/fd.hpp"
#include "platform/file_create.hpp"

namespace qs {

namespace {

// Depth-first; each level holds one descriptor and one cursor, so the depth
// an archive can reach (its names are shorter than a system path) bounds
// both.
[[nodiscard]] Result<void> flushEntriesAt(int directory) {
    platform::DirectoryCursor cursor;
    for (;;) {
        QS_TRY_ASSIGN(const auto entry, cursor.next(directory));
        if (!entry) break;
        if (entry->type == platform::EntryType::directory) {
            QS_TRY_ASSIGN(const platform::Fd child,
                          platform::openDirectoryNoFollowAt(directory, entry->view()));
            QS_TRY(flushEntriesAt(child.get()));
        } else {
            QS_TRY_ASSIGN(const platform::Fd file,
                          platform::openForReading(directory, entry->view(),
                                                   platform::OpenBlocking::nonblock));
            QS_TRY(platform::syncFile(file.get()));
        }
    }
    return platform::syncFile(directory);
}

}  // namespace

FlushMethod preferredFlushMethod() {
    return platform::fileSystemSyncAvailable() ? FlushMethod::file_system : FlushMethod::each_file;
}

Result<void> flushTree(std::string_view path, FlushMethod method) {
    QS_TRY_ASSIGN(const platform::Fd directory, platform::openDirectory(path));
    if (method == FlushMethod::file_system) return platform::syncFileSystem(directory.get());
    return flushEntriesAt(directory.get());
}

}  // namespace qs
