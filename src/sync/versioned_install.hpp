#pragma once
// The versioned install: the payload extracted into a staging directory of
// target_dir, placed as v{version}, checked by pre_switch, made live by
// switching `current`, and the versions beyond keep_versions removed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/config.hpp"
#include "sync/install_hooks.hpp"
#include "formats/reader.hpp"
#include "platform/fd.hpp"
#include "util/error.hpp"

namespace qs {

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
    [[nodiscard]] Result<void> extract(Reader& archive,
                                       ArchiveStream stream = ArchiveStream::as_published);
    // The rest of the install, after a successful extract(); `etag` is for
    // the hooks' environment. Errors as applyVersioned.
    [[nodiscard]] Result<void> finish(std::string_view etag);
    // Drops the staging directory.
    void discard();

private:
    // What `current` names once the switch is done, and what is left of a
    // live tree the new one replaced under the same name (removed after the
    // hook; empty when there is none).
    struct Switched {
        std::string live_name;
        std::string replaced_live;
    };

    // Whether v{version} is a directory now; a link or other entry under
    // that name is an error.
    [[nodiscard]] Result<bool> versionDirKind() const;
    // The steps of finish(), in order; each failing one has removed the new
    // tree and logged why.
    [[nodiscard]] Result<bool> recheck();
    [[nodiscard]] Result<void> place();
    [[nodiscard]] Result<void> check(std::string_view new_name, const std::string& new_dir,
                                     std::string_view etag);
    [[nodiscard]] Result<Switched> switchToNewName();
    [[nodiscard]] Result<Switched> switchReplacingKept();
    [[nodiscard]] Result<Switched> switchSameName();
    void removeOld(const Switched& switched, std::optional<std::string_view> old_target);

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

}  // namespace qs
