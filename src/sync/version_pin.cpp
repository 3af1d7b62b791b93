#include "sync/version_pin.hpp"

#include <new>

#include "log/log.hpp"
#include "platform/path_calls.hpp"
#include "platform/record_file.hpp"
#include "sync/version_store.hpp"
#include "util/path.hpp"

namespace qs {

namespace {

// One version directory name; anything longer was not written by the agent.
constexpr std::size_t kMaxPinRecordBytes = 4096;

}  // namespace

std::optional<std::string> loadPin(std::string_view target_dir) {
    PathBuffer path;
    if (!composeSystemPath(path, {target_dir, "/", kPinRecordName})) return std::nullopt;
    auto contents = platform::readRecordFile(path.view(), kMaxPinRecordBytes);
    if (!contents) {
        if (platform::isForeignEntry(contents.error())) {
            log::warn(log::Scope::bundle, "ignored ", path.view(), ": not a regular file");
        }
        return std::nullopt;
    }
    // Byte for byte, as the version record keeps names.
    if (!isVersionDirName(*contents)) return std::nullopt;
    return std::move(*contents);
}

Result<void> savePin(std::string_view target_dir, std::string_view directory_name) {
    PathBuffer path;
    QS_TRY(composeSystemPath(path, {target_dir, "/", kPinRecordName}));
    return platform::replaceRecordFile(path.view(), directory_name);
}

bool removePin(std::string_view target_dir) {
    PathBuffer path;
    if (!composeSystemPath(path, {target_dir, "/", kPinRecordName})) return false;
    const auto kind = platform::pathKind(path.view());
    if (!kind || *kind == platform::PathKind::missing) return false;
    platform::unlinkIgnoringResult(path.view());
    return true;
}

}  // namespace qs
