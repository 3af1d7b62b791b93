#include "sync/etag_store.hpp"

#include <new>

#include "log/log.hpp"
#include "platform/directory.hpp"
#include "platform/durability.hpp"
#include "platform/fd.hpp"
#include "platform/file_attributes.hpp"
#include "platform/file_create.hpp"
#include "platform/directory.hpp"
#include "util/path.hpp"
#include "util/text.hpp"

namespace qs {

namespace {

// The record is written under its name with this suffix, then renamed.
constexpr std::string_view kTemporarySuffix = ".tmp";

// The record sits beside the bundle's data. The directory is used verbatim:
// a trailing slash just doubles the slash before ".etag".
[[nodiscard]] Result<void> composeRecordPath(PathBuffer& out, std::string_view target_dir) {
    out.clear();
    return out.append({target_dir, "/.etag"});
}

}  // namespace

std::string loadEtag(std::string_view target_dir) {
    PathBuffer path;
    if (!composeRecordPath(path, target_dir)) return {};
    // Only a regular file the agent could have written counts: a link could
    // lead anywhere and a FIFO would never end.
    auto contents = platform::readRegularFileNoFollow(path.view(), kMaxEtagRecordBytes);
    if (!contents) return {};
    const std::string_view etag = trimSpace(*contents);
    // The record goes into a request head: a control byte could end the
    // line and start a header of someone else's choosing. A tab is the one
    // a field value may hold (and some servers put into their ETags).
    for (const char c : etag) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) return {};
    }
    try {
        return std::string(etag);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

void saveEtag(std::string_view target_dir, BundleState& state, std::string_view new_etag,
              Durability durability) {
    // Memory first: whatever happens on disk, the next request of this run
    // carries the ETag of what is installed now.
    try {
        state.etag.assign(new_etag);
    } catch (const std::bad_alloc&) {
        state.etag.clear();
    }

    PathBuffer path;
    PathBuffer temporary;
    if (!composeRecordPath(path, target_dir)) return;
    const auto warn = [&](Error error) {
        log::warn(log::Scope::bundle, "failed to save etag to ", path.view(), ": ", error);
    };
    if (auto composed = temporary.append({path.view(), kTemporarySuffix}); !composed) {
        warn(composed.error());
        return;
    }
    // Written aside and renamed over the record: a crash leaves the old
    // record or the new one, and a link planted under either name is
    // replaced, never written through.
    auto file = platform::replaceFileAt(platform::kWorkingDirectory, temporary.view());
    if (!file) {
        warn(file.error());
        return;
    }
    const bool flushed = durability == Durability::flushed;
    Result<void> done = platform::writeAll(file->get(), state.etag);
    if (done) done = platform::changeMode(file->get(), platform::plainFileMode());
    // Durable: the record reaches the disk after the install it names, and
    // its new name is on the disk before the agent goes on.
    if (done && flushed) done = platform::syncFile(file->get());
    if (done) done = platform::renameAt(platform::kWorkingDirectory, temporary.view(), path.view());
    if (!done) {
        warn(done.error());
        platform::removeEntryIgnoringResult(platform::kWorkingDirectory, temporary.view());
        return;
    }
    if (flushed) {
        auto directory = platform::openDirectory(target_dir);
        if (directory) done = platform::syncFile(directory->get());
        if (!directory) done = std::unexpected(directory.error());
        if (!done) warn(done.error());
    }
}

}  // namespace qs
