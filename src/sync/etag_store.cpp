#include "sync/etag_store.hpp"

#include <new>

#include "log/log.hpp"
#include "platform/fd.hpp"
#include "platform/file_create.hpp"
#include "util/path.hpp"
#include "util/text.hpp"

namespace qs {

namespace {

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
    auto contents = platform::readWholeFile(path.view(), kMaxEtagRecordBytes);
    if (!contents) return {};
    const std::string_view etag = trimSpace(*contents);
    try {
        return std::string(etag);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

void saveEtag(std::string_view target_dir, BundleState& state, std::string_view new_etag) {
    // Memory first: whatever happens on disk, the next request of this run
    // carries the ETag of what is installed now.
    try {
        state.etag.assign(new_etag);
    } catch (const std::bad_alloc&) {
        state.etag.clear();
    }

    PathBuffer path;
    if (!composeRecordPath(path, target_dir)) return;
    auto file = platform::createFile(path.view());
    if (!file) {
        log::warn(log::Scope::bundle, "failed to save etag to ", path.view(), ": ", file.error());
        return;
    }
    // A failed write leaves an empty or partial record; sent after a restart
    // it simply fails to match, so the payload is installed once more.
    (void)platform::writeAll(file->get(), state.etag);
}

}  // namespace qs
