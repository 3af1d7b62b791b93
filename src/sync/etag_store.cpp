#include "sync/etag_store.hpp"

#include <new>

#include "log/log.hpp"
#include "platform/record_file.hpp"
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
    // Only a regular file the agent could have written counts: a link could
    // lead anywhere and a FIFO would never end.
    auto contents = platform::readRecordFile(path.view(), kMaxEtagRecordBytes);
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
    if (!composeRecordPath(path, target_dir)) return;
    // Durable: the record reaches the disk after the install it names, and
    // its new name is on the disk before the agent goes on.
    const auto flush = durability == Durability::flushed ? platform::RecordFlush::data_and_name
                                                         : platform::RecordFlush::none;
    if (auto saved = platform::replaceRecordFile(path.view(), state.etag, flush); !saved) {
        log::warn(log::Scope::bundle, "failed to save etag to ", path.view(), ": ", saved.error());
    }
}

}  // namespace qs
