#include "sync/raw_direct_install.hpp"

#include <new>
#include <optional>

#include "deploy/flush_tree.hpp"
#include "deploy/ownership.hpp"
#include "log/log.hpp"
#include "platform/durability.hpp"
#include "platform/fd.hpp"
#include "platform/file_create.hpp"
#include "platform/path_calls.hpp"
#include "sync/install_hooks.hpp"

namespace qs {

namespace {

using log::Scope;

// A raw file is written under its name with this suffix, then renamed.
constexpr std::string_view kRawTemporarySuffix = ".quillstead-tmp";

}  // namespace

Result<std::string> rawPath(const Bundle& bundle) {
    try {
        std::string path;
        path.append(bundle.target_dir).append("/").append(bundle.filename.value_or(""));
        return path;
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
}

namespace {

// The checks every raw install makes before it writes: a filename, and one
// that names a file. Logs the failure.
Result<std::string> checkedRawPath(const Bundle& bundle) {
    if (!bundle.filename) {
        log::error(Scope::bundle, "format=raw requires a 'filename' config field");
        return std::unexpected(Error::ConfigError);
    }
    QS_TRY_ASSIGN(std::string path, rawPath(bundle));
    // No file name after the last slash: the name is a directory's.
    if (bundle.filename->empty() || bundle.filename->ends_with('/')) {
        log::error(Scope::bundle, "failed to create ", path, ": ", Error::IsDir);
        return std::unexpected(Error::CreateFileFailed);
    }
    return path;
}

// With durable, the directory that now holds the new name reaches the disk.
Result<void> flushRawName(const Bundle& bundle, std::string_view path) {
    if (!isDurable(bundle)) return {};
    bool flushed = true;
    const std::size_t slash = path.rfind('/');
    flushTargetDir(path.substr(0, slash), flushed);
    if (!flushed) return std::unexpected(Error::WriteFailed);
    return {};
}

}  // namespace

Result<void> applyRaw(const Bundle& bundle, std::string_view version, std::string_view body,
                      std::string_view etag) {
    QS_TRY_ASSIGN(const std::string path, checkedRawPath(bundle));
    std::string temporary;
    try {
        temporary.append(path).append(kRawTemporarySuffix);
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    // The file is written under a name of its own and renamed over the old
    // one: a reader sees the old file or the new one, never a part, and a
    // link or FIFO planted under either name is replaced, not written
    // through.
    auto created = platform::replaceFileAt(platform::kWorkingDirectory, temporary);
    if (!created) {
        log::error(Scope::bundle, "failed to create ", path, ": ", created.error());
        return std::unexpected(Error::CreateFileFailed);
    }
    const platform::Fd file = std::move(*created);
    if (auto written = platform::writeAll(file.get(), body); !written) {
        log::error(Scope::bundle, "failed to write ", path, ": ", written.error());
        platform::removeEntryIgnoringResult(platform::kWorkingDirectory, temporary);
        return std::unexpected(isStorageFull(written.error()) ? written.error() : Error::WriteFailed);
    }
    applyFinalOwnership(file.get(), path, bundle.extract_owner, bundle.extract_mode, 0);
    // Durable: the file's data before its name, and the name flushed after.
    if (isDurable(bundle)) {
        if (auto synced = platform::syncFile(file.get()); !synced) {
            log::error(Scope::bundle, "failed to flush ", path, ": ", synced.error());
            platform::removeEntryIgnoringResult(platform::kWorkingDirectory, temporary);
            return std::unexpected(isStorageFull(synced.error()) ? synced.error() : Error::WriteFailed);
        }
    }
    if (auto renamed = platform::renameAt(platform::kWorkingDirectory, temporary, path); !renamed) {
        log::error(Scope::bundle, "failed to create ", path, ": ", renamed.error());
        platform::removeEntryIgnoringResult(platform::kWorkingDirectory, temporary);
        return std::unexpected(Error::CreateFileFailed);
    }
    QS_TRY(flushRawName(bundle, path));
    log::info(Scope::bundle, "wrote ", body.size(), " bytes to ", path, " (raw)");
    // The file stays open while the hook runs; it is closed on return.
    runHook(bundle, "file written", hookVariables(bundle, version, {}, etag, std::nullopt));
    return {};
}

Result<void> applyRawFrom(const Bundle& bundle, std::string_view version, Spool& spool,
                          std::string_view etag) {
    QS_TRY_ASSIGN(const std::string path, checkedRawPath(bundle));
    // The spool was made private (0600); the file it becomes gets what a
    // newly created file would, unless the bundle sets its own mode.
    applyFinalOwnership(spool.fd(), path, bundle.extract_owner, bundle.extract_mode, 0);
    if (isDurable(bundle)) {
        if (auto synced = platform::syncFile(spool.fd()); !synced) {
            log::error(Scope::bundle, "failed to flush ", path, ": ", synced.error());
            return std::unexpected(isStorageFull(synced.error()) ? synced.error() : Error::WriteFailed);
        }
    }
    if (auto moved = spool.moveTo(path); !moved) {
        log::error(Scope::bundle, "failed to create ", path, ": ", moved.error());
        return std::unexpected(Error::CreateFileFailed);
    }
    QS_TRY(flushRawName(bundle, path));
    log::info(Scope::bundle, "wrote ", spool.size(), " bytes to ", path, " (raw)");
    // The file stays open while the hook runs, as it does when written from
    // memory.
    runHook(bundle, "file written", hookVariables(bundle, version, {}, etag, std::nullopt));
    return {};
}

}  // namespace qs
