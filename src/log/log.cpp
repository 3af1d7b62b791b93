#include "log/log.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>

#include "platform/fd.hpp"
#include "platform/file_create.hpp"
#include "platform/process_state.hpp"
#include "util/json.hpp"
#include "util/url_password.hpp"

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
    case Level::debug: return "debug";
    }
    return "info";
}

std::string_view priorityPrefix(Level level) {
    switch (level) {
    case Level::error: return "<3>";
    case Level::warning: return "<4>";
    case Level::info: return "<6>";
    case Level::debug: return "<7>";
    }
    return "<6>";
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

// The hold that takes lines instead of standard error, if any.
HeldLines* g_holding = nullptr;

// Holds the lock for one line and pushes pieces through the small buffer,
// to standard error or, while a hold is on, into the hold.
class LineWriter {
public:
    LineWriter() : hold_(g_holding) {
        if (hold_ == nullptr) platform::lockStderr();
    }
    ~LineWriter() {
        if (hold_ != nullptr) {
            if (used_ > 0) hold_->append({buffer_, used_});
            return;
        }
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
        if (hold_ != nullptr) {
            hold_->append({buffer_, used_});
            hold_->append(piece);
            used_ = 0;
            return;
        }
        auto r = platform::writeBoth(kStderr, {buffer_, used_}, piece);
        used_ = 0;
        // A failed write drops the rest of the line; the next line starts afresh.
        if (!r) failed_ = true;
    }

private:
    HeldLines* hold_;
    char buffer_[kLineBuffer];
    std::size_t used_ = 0;
    bool failed_ = false;
};

Format g_format = Format::text;
Level g_minimum_level = Level::info;
bool g_priority_prefixes = false;

// "2026-12-10T14:31:16.123Z" from milliseconds since the epoch: the civil
// date from the day count (Howard Hinnant's days-to-civil algorithm), so no
// time zone database or allocation is involved.
constexpr std::size_t kTimestampSize = 24;
void formatTimestamp(std::int64_t milliseconds, char (&out)[kTimestampSize]) {
    if (milliseconds < 0) milliseconds = 0;
    const std::int64_t seconds = milliseconds / 1000;
    const std::int64_t days = seconds / 86400;
    const std::int64_t of_day = seconds % 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = z / 146097;
    const std::int64_t day_of_era = z - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t mp = (5 * day_of_year + 2) / 153;
    const std::int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    const auto digits = [](char* at, std::int64_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            at[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
    };
    digits(out, year, 4);
    out[4] = '-';
    digits(out + 5, month, 2);
    out[7] = '-';
    digits(out + 8, day, 2);
    out[10] = 'T';
    digits(out + 11, of_day / 3600, 2);
    out[13] = ':';
    digits(out + 14, of_day / 60 % 60, 2);
    out[16] = ':';
    digits(out + 17, of_day % 60, 2);
    out[19] = '.';
    digits(out + 20, milliseconds % 1000, 3);
    out[23] = 'Z';
}

std::string_view g_context_bundle;
// The latest time stamp written: a wall clock set back (by NTP, say) must
// not make a later line look older than an earlier one to whoever sorts or
// reads them.
std::int64_t g_last_timestamp_ms = 0;

// The time stamp of a line written now: never older than the latest one.
void stampNow(char (&out)[kTimestampSize]) {
    std::int64_t now_ms = platform::wallClockMilliseconds();
    if (now_ms < g_last_timestamp_ms) now_ms = g_last_timestamp_ms;
    g_last_timestamp_ms = now_ms;
    formatTimestamp(now_ms, out);
}

// A held json line starts with this in place of its time stamp. The
// unescaped quotes cannot occur inside a value, so only a line's start
// matches it; it is as long as the real start of a line.
constexpr std::string_view kHeldStampMark = "{\"ts\":\"0000-00-00T00:00:00.000Z";
constexpr std::size_t kStampOffset = 7;  // after {"ts":"

// Replaces every held-line mark in `text` with `stamp`.
void stampHeld(std::span<char> text, std::string_view stamp) {
    const std::string_view view(text.data(), text.size());
    for (std::size_t at = view.find(kHeldStampMark); at != std::string_view::npos;
         at = view.find(kHeldStampMark, at + kHeldStampMark.size())) {
        std::memcpy(text.data() + at + kStampOffset, stamp.data(), stamp.size());
    }
}

// The bundle a message is about: by the daemon's convention such a message
// starts with "[", the name and "] " as separate pieces ("  [" in the
// start-up summary).
std::optional<std::string_view> bundleOf(std::span<const Piece* const> pieces) {
    if (pieces.size() < 3) return std::nullopt;
    std::string_view open = pieces[0]->text();
    while (open.starts_with(' ')) open.remove_prefix(1);
    if (open != "[" || !pieces[0]->prefix().empty() || !pieces[1]->prefix().empty() ||
        !pieces[2]->text().starts_with("]")) {
        return std::nullopt;
    }
    return pieces[1]->text();
}

void writeJsonLine(Level level, Scope scope, std::span<const Piece* const> pieces,
                   std::string_view hook = {}) {
    LineWriter line;
    const auto escaped = [&line](std::string_view bytes) {
        escapeJsonString(bytes, [&line](std::string_view piece) { line.put(piece); });
    };
    if (g_holding != nullptr) {
        // Stamped when released, so that it is not older than the lines
        // written out before it.
        line.put(kHeldStampMark);
    } else {
        char timestamp[kTimestampSize];
        stampNow(timestamp);
        line.put("{\"ts\":\"");
        line.put(std::string_view(timestamp, kTimestampSize));
    }
    line.put("\",\"level\":\"");
    line.put(levelWord(level));
    line.put("\",\"scope\":\"");
    line.put(scopeWord(scope));
    if (const auto bundle = bundleOf(pieces)) {
        line.put("\",\"bundle\":\"");
        escaped(*bundle);
    } else if (!g_context_bundle.empty()) {
        line.put("\",\"bundle\":\"");
        escaped(g_context_bundle);
    }
    if (!hook.empty()) {
        line.put("\",\"hook\":\"");
        escaped(hook);
    }
    line.put("\",\"msg\":\"");
    for (const Piece* piece : pieces) {
        escaped(piece->prefix());
        escaped(piece->text());
        escaped(piece->suffix());
    }
    line.put("\"}\n");
}

}  // namespace

void setFormat(Format format) { g_format = format; }

Format currentFormat() { return g_format; }

BundleContext::BundleContext(std::string_view name) : previous_(g_context_bundle) {
    g_context_bundle = name;
}

BundleContext::~BundleContext() { g_context_bundle = previous_; }

void hookOutput(std::string_view hook, std::string_view text) {
    const Piece piece(text);
    const Piece* pieces[] = {&piece};
    if (g_format == Format::json) {
        writeJsonLine(Level::info, Scope::bundle, pieces, hook);
        return;
    }
    LineWriter line;
    line.put(text);
    line.put("\n");
}

void setMinimumLevel(Level level) { g_minimum_level = level; }

void setPriorityPrefixes(bool on) { g_priority_prefixes = on; }

Piece::Piece(Error e) : prefix_("error."), text_(errorName(e)) {}

Piece::Piece(Octal number) { setUnsigned(number.value, 8); }

Piece::Piece(RedactedUrl url) : text_(url.text) {
    const std::optional<PasswordPlace> place = findUrlPassword(url.text);
    if (!place) return;
    prefix_ = url.text.substr(0, place->begin);
    text_ = "***";
    suffix_ = url.text.substr(place->end);
}

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
        // An empty piece may have no storage at all: memcpy must not see it.
        if (n == 0) return;
        std::memcpy(g_last_error + g_last_error_size, piece.data(), n);
        g_last_error_size += n;
    };
    for (const Piece* piece : pieces) {
        keep(piece->prefix());
        keep(piece->text());
        keep(piece->suffix());
    }
}

}  // namespace

HeldLines::HeldLines(std::string_view spill_directory) : spill_directory_(spill_directory) {}

HeldLines::~HeldLines() {
    pause();
    discard();
}

void HeldLines::resume() { g_holding = this; }

void HeldLines::pause() {
    if (g_holding == this) g_holding = nullptr;
}

void HeldLines::append(std::string_view text) {
    if (spill_fd_ < 0 && !spill_failed_ && memory_.size() + text.size() > kHeldInMemory) {
        if (auto file = platform::createUnnamedFile(spill_directory_)) {
            spill_fd_ = file->release();
        } else {
            // Without a spill file the lines stay in memory: losing them
            // would hide what went wrong.
            spill_failed_ = true;
        }
    }
    if (spill_fd_ >= 0) {
        if (platform::writeAll(spill_fd_, text)) spilled_ += text.size();
        return;
    }
    try {
        memory_.append(text);
    } catch (const std::bad_alloc&) {
    }
}

void HeldLines::release() {
    pause();
    {
        char timestamp[kTimestampSize];
        stampNow(timestamp);
        const std::string_view stamp(timestamp, kTimestampSize);
        // One writer for everything held: the lines stay together.
        LineWriter line;
        stampHeld(memory_, stamp);
        line.put(memory_);
        // The spill file goes out in blocks; the last bytes of each wait
        // for the next, so that a mark across two blocks is still found.
        constexpr std::size_t kCarry = kHeldStampMark.size() - 1;
        std::array<char, 16384> block;
        std::size_t carried = 0;
        for (std::uint64_t at = 0; spill_fd_ >= 0 && at < spilled_;) {
            auto n = platform::readSomeAt(
                spill_fd_, std::span<char>(block.data() + carried, block.size() - carried), at);
            if (!n || *n == 0) break;
            at += *n;
            const std::size_t filled = carried + *n;
            stampHeld(std::span<char>(block.data(), filled), stamp);
            const std::size_t out = filled > kCarry ? filled - kCarry : 0;
            line.put({block.data(), out});
            std::memmove(block.data(), block.data() + out, filled - out);
            carried = filled - out;
        }
        line.put({block.data(), carried});
    }
    discard();
}

void HeldLines::discard() {
    memory_.clear();
    memory_.shrink_to_fit();
    if (spill_fd_ >= 0) platform::Fd(spill_fd_).reset();
    spill_fd_ = -1;
    spilled_ = 0;
    spill_failed_ = false;
}

void writeLine(Level level, Scope scope, std::span<const Piece* const> pieces) {
    // A held error line is followed, when it is released, by the summary
    // line of its cycle, which is the one worth remembering.
    if (level == Level::error && g_holding == nullptr) captureError(pieces);
    if (level != Level::error && level > g_minimum_level) return;
    if (g_format == Format::json) {
        writeJsonLine(level, scope, pieces);
        return;
    }
    LineWriter line;
    if (g_priority_prefixes) line.put(priorityPrefix(level));
    line.put(levelWord(level));
    line.put("(");
    line.put(scopeWord(scope));
    line.put("): ");
    for (const Piece* piece : pieces) {
        line.put(piece->prefix());
        line.put(piece->text());
        line.put(piece->suffix());
    }
    line.put("\n");
}

std::string_view lastErrorMessage() { return {g_last_error, g_last_error_size}; }

void clearLastError() { g_last_error_size = 0; }

void startupError(Error e) {
    if (g_format == Format::json) {
        const Piece name(errorName(e));
        const Piece* pieces[] = {&name};
        writeJsonLine(Level::error, Scope::quillstead, pieces);
        return;
    }
    LineWriter line;
    if (g_priority_prefixes) line.put(priorityPrefix(Level::error));
    line.put("error: ");
    line.put(errorName(e));
    line.put("\n");
}

void plainLine(std::string_view first, std::string_view second) {
    LineWriter line;
    line.put(first);
    line.put(second);
    line.put("\n");
}

}  // namespace qs::log
