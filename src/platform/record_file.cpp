#include "platform/record_file.hpp"

#include "platform/directory.hpp"
#include "platform/durability.hpp"
#include "platform/fd.hpp"
#include "platform/file_attributes.hpp"
#include "platform/file_create.hpp"
#include "platform/path_calls.hpp"
#include "util/path.hpp"

namespace qs::platform {

namespace {

// The directory that holds `path`, as text: its flush makes the rename
// durable.
std::string_view parentOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

[[nodiscard]] Result<void> writeTemporary(std::string_view temporary, std::string_view bytes,
                                          RecordFlush flush) {
    QS_TRY_ASSIGN(const Fd file, replaceFileAt(kWorkingDirectory, temporary));
    QS_TRY(writeAll(file.get(), bytes));
    // Created 0600 so nobody reads a half-written file; once whole it gets
    // the mode a plainly created file would have.
    QS_TRY(changeMode(file.get(), plainFileMode()));
    if (flush == RecordFlush::data_and_name) QS_TRY(syncFile(file.get()));
    return {};
}

}  // namespace

Result<void> replaceRecordFile(std::string_view path, std::string_view bytes, RecordFlush flush) {
    PathBuffer temporary;
    QS_TRY(composeSystemPath(temporary, {path, kRecordTemporarySuffix}));
    Result<void> done = writeTemporary(temporary.view(), bytes, flush);
    if (done) done = renamePath(temporary.view(), path);
    if (!done) {
        removeEntryIgnoringResult(kWorkingDirectory, temporary.view());
        return done;
    }
    if (flush == RecordFlush::data_and_name) return flushDirectory(parentOf(path));
    return {};
}

Result<void> flushDirectory(std::string_view directory) {
    QS_TRY_ASSIGN(const Fd opened, openDirectory(directory));
    return syncFile(opened.get());
}

Result<std::string> readRecordFile(std::string_view path, std::size_t limit) {
    return readRegularFileNoFollow(path, limit);
}

bool isForeignEntry(Error error) {
    return error == Error::SymLinkLoop || error == Error::InvalidFormat;
}

}  // namespace qs::platform
