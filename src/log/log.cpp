#include "log/log.hpp"

#include <cstring>

#include "platform/fd.hpp"
#include "platform/process_state.hpp"

namespace qs::log {

namespace {

constexpr int kStderr = 2;
// Short lines reach the descriptor in one system call; the size is small so
// that the buffer costs nothing on the caller's stack.
constexpr std::size_t kLineBuffer = 64;

std::string_view levelWord(Level level) {
    switch (level) {
    case Level::error: return "error";
    case Level::warning: return "warning";
    case Level::info: return "info";
    }
    return "info";
}

std::string_view scopeWord(Scope scope) {
    switch (scope) {
    case Scope::config: return "config";
    case Scope::quillstead: return "quillstead";
    case Scope::bundle: return "bundle";
    case Scope::http: return "http";
    }
    return "quillstead";
}

// The message of the latest error line; one thread writes lines, and the
// stderr lock orders it against itself.
char g_last_error[kLastErrorBytes];
std::size_t g_last_error_size = 0;

// Holds the lock for one line and pushes pieces through the small buffer.
class LineWriter {
public:
    LineWriter() { platform::lockStderr(); }
    ~LineWriter() {
        // The flush happens after a failure too; its own failure is ignored.
        if (used_ > 0) (void)platform::writeAll(kStderr, {buffer_, used_});
        platform::unlockStderr();
    }
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    void put(std::string_view piece) {
        if (failed_ || piece.empty()) return;
        if (piece.size() <= kLineBuffer - used_) {
            std::memcpy(buffer_ + used_, piece.data(), piece.size());
            used_ += piece.size();
            return;
        }
        auto r = platform::writeBoth(kStderr, {buffer_, used_}, piece);
        used_ = 0;
        // A failed write drops the rest of the line; the next line starts afresh.
        if (!r) failed_ = true;
    }

private:
    char buffer_[kLineBuffer];
    std::size_t used_ = 0;
    bool failed_ = false;
};

}  // namespace

Piece::Piece(Error e) : prefix_("error."), text_(errorName(e)) {}

Piece::Piece(Octal number) { setUnsigned(number.value, 8); }

void Piece::setUnsigned(std::uint64_t number, unsigned radix) {
    std::size_t at = digits_.size();
    do {
        digits_[--at] = static_cast<char>('0' + number % radix);
        number /= radix;
    } while (number != 0);
    text_ = std::string_view(digits_.data() + at, digits_.size() - at);
}

void Piece::setSigned(std::int64_t number) {
    if (number >= 0) {
        setUnsigned(static_cast<std::uint64_t>(number), 10);
        return;
    }
    // Negate in unsigned arithmetic so that INT64_MIN does not overflow.
    setUnsigned(~static_cast<std::uint64_t>(number) + 1, 10);
    const std::size_t at = static_cast<std::size_t>(text_.data() - digits_.data()) - 1;
    digits_[at] = '-';
    text_ = std::string_view(digits_.data() + at, text_.size() + 1);
}

namespace {

void captureError(std::span<const Piece* const> pieces) {
    g_last_error_size = 0;
    const auto keep = [](std::string_view piece) {
        const std::size_t room = kLastErrorBytes - g_last_error_size;
        const std::size_t n = piece.size() < room ? piece.size() : room;
        std::memcpy(g_last_error + g_last_error_size, piece.data(), n);
        g_last_error_size += n;
    };
    for (const Piece* piece : pieces) {
        keep(piece->prefix());
        keep(piece->text());
    }
}

}  // namespace

void writeLine(Level level, Scope scope, std::span<const Piece* const> pieces) {
    LineWriter line;
    if (level == Level::error) captureError(pieces);
    line.put(levelWord(level));
    line.put("(");
    line.put(scopeWord(scope));
    line.put("): ");
    for (const Piece* piece : pieces) {
        line.put(piece->prefix());
        line.put(piece->text());
    }
    line.put("\n");
}

std::string_view lastErrorMessage() { return {g_last_error, g_last_error_size}; }

void clearLastError() { g_last_error_size = 0; }

void startupError(Error e) {
    LineWriter line;
    line.put("error: ");
    line.put(errorName(e));
    line.put("\n");
}

}  // namespace qs::log
