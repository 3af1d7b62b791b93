#pragma once
// Installing a downloaded payload below a bundle's target_dir: as one raw
// file, by extraction straight into target_dir, or by extraction into a
// version directory "v{version}" followed by an atomic switch of the
// `current` link.

#include <cstdint>
#include <string>
#include <string_view>

#include "config/config.hpp"
#include "formats/reader.hpp"
#include "sync/spool.hpp"
#include "platform/fd.hpp"
#include "platform/file_create.hpp"
#include "util/error.hpp"

namespace qs {

// mkdir(target_dir): one level, an existing entry of any kind accepted.
// Logs its own failure line; tells whether the directory was made now.
[[nodiscard]] Result<platform::DirectoryMade> ensureTargetDir(const Bundle& bundle);

// Installs `body` as the bundle's format and mode say: raw whatever the mode,
// else direct or versioned. Logs every failure except the caller's summary;
// a failed post_sync hook or a failed removal of the previous version still
// returns success. `version` is a name from deriveVersion, `etag` the
// payload's ETag (both for the hooks' environment). With the bundle's
// `durable` key the new files reach stable storage before success.
[[nodiscard]] Result<void> applyBundle(const Bundle& bundle, std::string_view version,
                                       std::string_view body, std::string_view etag = {});

// target_dir/filename written under a temporary name beside it and renamed
// over it. ConfigError without a filename, CreateFileFailed, WriteFailed,
// OutOfMemory.
[[nodiscard]] Result<void> applyRaw(const Bundle& bundle, std::string_view body,
                                    std::string_view version = {}, std::string_view etag = {});

// The archive extracted into target_dir itself; on failure the files
// written so far stay. Errors as extractArchive.
[[nodiscard]] Result<void> applyDirect(const Bundle& bundle, std::string_view body,
                                       std::string_view version = {}, std::string_view etag = {});

// The archive extracted into a staging directory of target_dir, renamed to
// v{version} once complete, checked by pre_switch, then `current` switched
// to it and the versions beyond keep_versions removed. The live version's
// files are never written, also when the new version has the live one's
// name; a failure leaves `current` and what it names as they were. Errors:
// OutOfMemory, MakePath, the extraction's, the switch's, PreSwitchRefused
// (logged here), InputOutput (durable, and target_dir could not be flushed
// after the switch).
[[nodiscard]] Result<void> applyVersioned(const Bundle& bundle, std::string_view version,
                                          std::string_view body, std::string_view etag = {});

// A versioned install in the steps a streamed body needs: the staging
// directory is made before the first byte arrives, the archive is extracted
// into it while the body is read, and only once the whole body has been read
// and checked does finish() do the rest of applyVersioned. An install that
// is not finished (a broken download, a failed extraction) leaves nothing of
// itself behind: the staging directory goes, and `current`, the live
// version and any existing v{version} stay as they were.
class VersionedInstall {
public:
    // `bundle` and `version` must outlive the install.
    VersionedInstall(const Bundle& bundle, std::string_view version);
    ~VersionedInstall();
    VersionedInstall(const VersionedInstall&) = delete;
    VersionedInstall& operator=(const VersionedInstall&) = delete;

    // Checks target_dir/v{version} and makes the staging directory. Errors:
    // OutOfMemory, MakePath (logged as the staging dir failing).
    [[nodiscard]] Result<void> prepare();
    // Extracts the archive into the staging directory; lines name the files
    // below v{version}. Errors as extractArchive.
    [[nodiscard]] Result<void> extract(Reader& archive);
    // The rest of the install, after a successful extract(); `etag` is for
    // the hooks' environment. Errors as applyVersioned.
    [[nodiscard]] Result<void> finish(std::string_view etag);
    // Drops the staging directory.
    void discard();

private:
    // Whether v{version} is a directory now; a link or other entry under
    // that name is an error.
    [[nodiscard]] Result<bool> versionDirKind() const;

    const Bundle& bundle_;
    std::string_view version_;
    std::string link_name_;
    std::string version_dir_;
    std::string staging_name_;
    std::string staging_dir_;
    platform::Fd staging_fd_;
    bool prepared_ = false;
    bool finished_ = false;
    std::uint32_t count_ = 0;
};

// Direct extraction from a stream (a spooled body). As applyDirect.
[[nodiscard]] Result<void> applyDirectFrom(const Bundle& bundle, Reader& archive,
                                           std::string_view version = {},
                                           std::string_view etag = {});

// Raw install of a spooled body (on the file system of
// target_dir/filename): the spool gets the mode a new file would get and the
// bundle's owner and mode, then is renamed over target_dir/filename, so
// readers see the old file or the new one whole. Lines and errors as
// applyRaw; a failed rename is CreateFileFailed.
[[nodiscard]] Result<void> applyRawFrom(const Bundle& bundle, Spool& spool,
                                        std::string_view version = {},
                                        std::string_view etag = {});

// The path a raw payload goes to; OutOfMemory.
[[nodiscard]] Result<std::string> rawPath(const Bundle& bundle);

// Points target_dir/current at `link_name` (a bare name, not a path) by
// creating target_dir/current.tmp and renaming it over `current`, so that
// readers following `current` see the old or the new version, never neither.
// NoSpaceLeft when the paths do not fit their buffers; the errors of
// symlink and rename.
[[nodiscard]] Result<void> switchCurrent(std::string_view target_dir, std::string_view link_name);

}  // namespace qs
