#pragma once
// Log lines on standard error: "level(scope): message\n", always written,
// never failing the caller. A line is assembled in a 64-byte stack buffer;
// pieces that do not fit go out with the buffer in one vectored write, so no
// line needs heap memory and every line is whole on the descriptor when the
// call returns. Values are inserted verbatim: text as its bytes, numbers in
// decimal, an Error as "error.Name".

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "util/error.hpp"

namespace qs::log {

// In order of detail: a minimum level keeps a line when its level is at or
// before it.
enum class Level { error, warning, info, debug };
enum class Scope { config, quillstead, bundle, http };

// text: "level(scope): message". json: one RFC 8259 object per line,
// {"ts", "level", "scope", "bundle" (when the message starts with a
// bundle's "[name]"), "msg"}, every string escaped so that any bytes in a
// value (control bytes, quotes, invalid UTF-8) keep the line valid JSON.
enum class Format { text, json };
// Applies to every line written after the call; text until then.
void setFormat(Format format);
[[nodiscard]] Format currentFormat();

// The bundle a stretch of work is about, for the lines written meanwhile:
// a json line gets its "bundle" field from it when the message does not
// start with "[name]" itself (the http and hook lines). Scopes nest; the
// name must outlive the scope.
class BundleContext {
public:
    explicit BundleContext(std::string_view name);
    ~BundleContext();
    BundleContext(const BundleContext&) = delete;
    BundleContext& operator=(const BundleContext&) = delete;

private:
    std::string_view previous_;
};

// One line a hook wrote on its output, as a log line of its own: in json a
// line with "hook" (and "bundle" from the context) beside the text; in text
// the line itself, as a hook's output always was.
void hookOutput(std::string_view hook, std::string_view text);

// Lines more detailed than `level` are dropped (log_level); info until
// then. Error lines are always written.
void setMinimumLevel(Level level);

// Starts each text line with its syslog priority ("<3>" error, "<4>"
// warning, "<6>" info, "<7>" debug), for a journal that reads standard
// error: it files the line under that priority and removes the prefix.
// Off until set; JSON lines never carry it.
void setPriorityPrefixes(bool on);

// Inserts an unsigned number in octal (permission bits).
struct Octal {
    std::uint64_t value;
};
inline Octal octal(std::uint64_t value) { return Octal{value}; }

// Inserts a URL with the password of its user information, if it has one,
// written as "***": a log file is read by more people than the
// configuration. Everything else of the URL stays as given.
struct RedactedUrl {
    std::string_view text;
};
inline RedactedUrl redacted(std::string_view url) { return RedactedUrl{url}; }

// One piece of a line: a view of text, or a number rendered into `digits`.
class Piece {
public:
    Piece(std::string_view text) : text_(text) {}  // NOLINT: implicit by design
    Piece(const char* text) : text_(text) {}       // NOLINT
    Piece(Error e);                                // NOLINT
    Piece(Octal number);                           // NOLINT
    Piece(RedactedUrl url);                        // NOLINT
    template <std::integral T>
        requires(!std::same_as<T, char> && !std::same_as<T, bool>)
    Piece(T number) {  // NOLINT
        if constexpr (std::is_signed_v<T>) {
            setSigned(static_cast<std::int64_t>(number));
        } else {
            setUnsigned(static_cast<std::uint64_t>(number), 10);
        }
    }
    Piece(const Piece&) = delete;
    Piece& operator=(const Piece&) = delete;

    [[nodiscard]] std::string_view prefix() const { return prefix_; }
    [[nodiscard]] std::string_view text() const { return text_; }
    [[nodiscard]] std::string_view suffix() const { return suffix_; }

private:
    void setSigned(std::int64_t number);
    void setUnsigned(std::uint64_t number, unsigned radix);

    std::string_view prefix_;  // "error." before an error name, a URL before its password
    std::string_view text_;
    std::string_view suffix_;  // what follows a masked part
    std::array<char, 24> digits_{};
};

void writeLine(Level level, Scope scope, std::span<const Piece* const> pieces);

template <class... Args>
void emit(Level level, Scope scope, const Args&... args) {
    const auto write = [&](const auto&... pieces) {
        const Piece* list[] = {&pieces..., nullptr};
        writeLine(level, scope, std::span<const Piece* const>(list, sizeof...(pieces)));
    };
    write(Piece(args)...);
}

template <class... Args>
void info(Scope scope, const Args&... args) {
    emit(Level::info, scope, args...);
}
template <class... Args>
void warn(Scope scope, const Args&... args) {
    emit(Level::warning, scope, args...);
}
template <class... Args>
void debug(Scope scope, const Args&... args) {
    emit(Level::debug, scope, args...);
}
template <class... Args>
void error(Scope scope, const Args&... args) {
    emit(Level::error, scope, args...);
}

// Keeps lines back for work whose lines belong after lines that can only be
// written once it has ended: a payload installed while it downloads logs its
// extraction before its size is known. While holding, every line goes here
// instead of to standard error; release() writes them in their order. The
// first kHeldInMemory bytes stay in memory; the rest go to an unnamed file
// in the spill directory, so holding costs bounded memory whatever a payload
// makes the extraction say (one warning per file, say). One hold at a time.
class HeldLines {
public:
    // Bytes of held text kept in memory before the spill file is used: a
    // failing install says a few lines, this is room for hundreds.
    static constexpr std::size_t kHeldInMemory = 64 * 1024;

    // Not holding yet; `spill_directory` must outlive the hold.
    explicit HeldLines(std::string_view spill_directory);
    ~HeldLines();  // drops whatever was not released
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;

    // Lines from now on are held, until pause().
    void resume();
    // Lines go to standard error again; what was held stays held.
    void pause();
    // Writes the held lines to standard error in order and forgets them.
    void release();
    // Forgets the held lines.
    void discard();

    // For the line writer.
    void append(std::string_view text);

private:
    std::string_view spill_directory_;
    std::string memory_;
    int spill_fd_ = -1;
    std::uint64_t spilled_ = 0;
    bool spill_failed_ = false;
};

// The message of the latest error line since clearLastError() (without
// level and scope, cut at kLastErrorBytes), empty when there was none. A
// failed sync cycle's last error line says why it failed; the status record
// quotes it.
inline constexpr std::size_t kLastErrorBytes = 1024;
[[nodiscard]] std::string_view lastErrorMessage();
void clearLastError();

// The one line that ends start-up: "error: Name\n", no level or scope,
// under the same lock as log lines.
void startupError(Error e);

// A line of its own on standard error, `first`, `second` and a line feed, without
// level or scope, under the same lock: for the refusal of a command line,
// written before any configuration could choose a format.
void plainLine(std::string_view first, std::string_view second = {});

}  // namespace qs::log
