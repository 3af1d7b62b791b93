#pragma once
// A payload kept on disk while it downloads, for the modes that write into
// the live place: direct extraction and raw files start only once the whole
// body is in and checked, so a broken download never leaves half a payload
// where readers look, and the body never has to fit in memory.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "formats/reader.hpp"
#include "platform/fd.hpp"
#include "util/error.hpp"

namespace qs {

// A spool is the file "payload" in the agent's own directory
// "{directory}/.quillstead-spool-{pid}" (mode 0700): a name no payload is
// likely to carry, since the directory may be where a payload's own files
// live. Whoever else may write in `directory` (an extract_owner user, say)
// can rename or replace names there, but not inside the private
// directory, and the agent reaches its file only through that directory's
// descriptor: the file it checked is the file it moves into place. One left
// by an agent that is gone is removed at start-up.
inline constexpr std::string_view kSpoolPrefix = ".quillstead-spool-";
inline constexpr std::string_view kSpoolFileName = "payload";

class Spool {
public:
    // Creates "{directory}/.quillstead-spool-{pid}/payload": the directory
    // private, the file exclusive and mode 0600, neither through a link; a
    // leftover of the same name (a dead agent with the same pid) is removed
    // first. Errors: those of directory and file creation (PathAlreadyExists
    // when something the agent could not remove holds the name),
    // OutOfMemory.
    [[nodiscard]] static Result<Spool> create(std::string_view directory);

    Spool(Spool&& other) noexcept = default;
    Spool& operator=(Spool&& other) noexcept;
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;
    // Removes the file unless it was moved into place, and its directory.
    ~Spool();

    [[nodiscard]] Result<void> write(std::string_view bytes);
    [[nodiscard]] std::uint64_t size() const { return size_; }
    [[nodiscard]] int fd() const { return fd_.get(); }
    [[nodiscard]] const std::string& path() const { return path_; }

    // Removes the file's name and keeps it open: what is read from it then
    // can no longer be changed through the name (an archive entry of the
    // same name, extracted next to it, say), and nothing is left to clear.
    void removeName();

    // Moves the file, by its directory's descriptor, to `destination` (same
    // file system), replacing what was there; afterwards the spool no
    // longer removes it. Errors: those of opening destination's directory
    // and of rename.
    [[nodiscard]] Result<void> moveTo(std::string_view destination);

private:
    Spool() = default;
    // Removes the file's name, if it still has one, and the directory.
    void removeDirectory();
    void remove();

    platform::Fd directory_;
    std::string directory_path_;
    platform::Fd fd_;
    std::string path_;  // empty once the file has no name in the directory
    std::uint64_t size_ = 0;
};

// Reads a spooled payload from its start in blocks, never holding it whole.
class SpoolReader final : public Reader {
public:
    explicit SpoolReader(const Spool& spool) : fd_(spool.fd()) {}
    [[nodiscard]] Result<std::size_t> read(std::span<char> out) override;

private:
    int fd_;
    std::uint64_t offset_ = 0;
};

}  // namespace qs
