#include "config/load_config.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "log/log.hpp"
#include "platform/fd.hpp"
#include "util/integer_text.hpp"
#include "util/text.hpp"
#include "util/url_password.hpp"

namespace qs {

namespace {

enum class Section { ignored, global, bundle };

// Copies a value out of the file text. When memory runs out the field is
// left empty, which drops a bundle missing its url or target_dir through
// the ordinary warning instead of failing the whole start-up.
void copyText(std::string& field, std::string_view value) {
    try {
        field.assign(value);
    } catch (const std::bad_alloc&) {
        field.clear();
    }
}

// An optional field that cannot be copied becomes absent.
void copyText(std::optional<std::string>& field, std::string_view value) {
    try {
        field.emplace(value);
    } catch (const std::bad_alloc&) {
        field.reset();
    }
}

// A value wrapped in a matching pair of double or single quotes loses the
// pair; nothing inside is interpreted, so a quoted value may keep leading
// blanks or be empty on purpose.
std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// The highest mode that means anything: permission bits plus set-user-ID,
// set-group-ID and sticky.
constexpr std::uint32_t kHighestMode = 07777;

// Digits (and the underscores the syntax allows) that do not fit the limits
// are out of range; anything else is no number.
std::string numberProblem(std::string_view value, std::uint64_t minimum, std::uint64_t maximum) {
    const bool digits = !value.empty() && value.find_first_not_of("0123456789_") == std::string_view::npos &&
                        value.front() != '_';
    if (!digits) return "is not a number";
    return "is out of range (" + std::to_string(minimum) + " to " + std::to_string(maximum) + ")";
}

std::string bundleHeader(std::string_view name) {
    if (name == "default") return "[bundle]";
    return "[bundle." + std::string(name) + "]";
}

// Which lines a parse writes: those of start-up, those of a reload (start-up's
// and a warning for every key or header it passes over), or none.
enum class Voice { start_up, reload, silent };

class Parser {
public:
    explicit Parser(ConfigReview* review, Voice voice = Voice::start_up)
        : review_(review),
          quiet_(voice == Voice::silent || review != nullptr),
          warn_ignored_lines_(voice == Voice::reload && !quiet_) {}

    void line(std::string_view raw) {
        ++line_number_;
        const std::string_view text = trimSpace(raw);
        if (text.empty() || text.front() == '#' || text.front() == ';') return;
        if (text.front() == '[') {
            header(text);
            return;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos) return;
        const std::string_view key = trimSpace(text.substr(0, equals));
        const std::string_view value = trimSpace(text.substr(equals + 1));
        // An empty value leaves the key as it was, so "url =" cannot wipe
        // an earlier line by accident; "" states an empty value on purpose.
        if (value.empty()) return;
        key_ = key;
        value_ = value;
        pending_.reset();
        switch (section_) {
        case Section::ignored:
            // Under an ignored header the header has been reported already.
            if (!seen_header_) {
                problem("stands before any section header", "nothing from this line");
            }
            break;
        case Section::global:
            keepLine(review_ != nullptr ? &review_->global_keys : nullptr);
            globalKey(key, unquote(value));
            break;
        case Section::bundle:
            keepLine(&bundle_keys_);
            bundleKey(key, unquote(value));
            break;
        }
        reviewLine();
    }

    Config finish() {
        closeBundle();
        // `[global]` may stand anywhere in the file; its defaults reach every
        // bundle whichever comes first.
        for (Bundle& bundle : config_.bundles) bundle.options.inheritFrom(config_.defaults);
        return std::move(config_);
    }

private:
    void header(std::string_view text) {
        closeBundle();
        seen_header_ = true;
        constexpr std::string_view kNamedPrefix = "[bundle.";
        if (text == "[global]") {
            section_ = Section::global;
        } else if (text == "[bundle]") {
            openBundle("default");
        } else if (text.size() >= kNamedPrefix.size() + 2 && text.starts_with(kNamedPrefix) &&
                   text.back() == ']') {
            // The name is taken verbatim: it may hold blanks, dots, brackets.
            openBundle(text.substr(kNamedPrefix.size(), text.size() - kNamedPrefix.size() - 1));
        } else {
            section_ = Section::ignored;
            if (warn_ignored_lines_) {
                log::warn(log::Scope::config, "line ", line_number_, ": ", text,
                          " is not [global], [bundle] or [bundle.NAME]; its lines are ignored");
            }
            if (review_ != nullptr) {
                add(ConfigProblem{line_number_, std::string(text),
                                  "is not [global], [bundle] or [bundle.NAME]",
                                  "nothing from this section"});
            }
        }
    }

    void add(ConfigProblem found) {
        if (review_ == nullptr) return;
        try {
            review_->problems.push_back(std::move(found));
        } catch (const std::bad_alloc&) {
            // A checker short of memory misses a problem; parsing goes on.
        }
    }

    // Notes what is wrong with the current key line and what the agent
    // does instead; reviewLine() reports it once the line is through.
    void problem(std::string_view what, std::string_view instead) {
        if (review_ == nullptr || pending_) return;
        try {
            pending_ = ConfigProblem{line_number_, problemSubject(key_, value_), std::string(what),
                                     std::string(instead)};
        } catch (const std::bad_alloc&) {
        }
    }

    // Text after a blank that starts with "#" or ";" was meant as a
    // comment, but a comment takes a line of its own: the value runs to
    // the end of the line. Shell commands are exempt, where " ; " and
    // " #" mean what the shell makes of them.
    [[nodiscard]] bool looksLikeComment() const {
        if (key_ == "post_sync" || key_ == "pre_switch") return false;
        if (unquote(value_).size() != value_.size()) return false;
        for (std::size_t i = 1; i < value_.size(); ++i) {
            const char c = value_[i];
            const char before = value_[i - 1];
            if ((c == '#' || c == ';') && (before == ' ' || before == '\t')) return true;
        }
        return false;
    }

    void reviewLine() {
        if (review_ == nullptr) return;
        if (looksLikeComment() && section_ != Section::ignored) {
            std::string instead;
            try {
                instead = pending_ ? pending_->instead : "the whole text as the value";
            } catch (const std::bad_alloc&) {
            }
            pending_.reset();
            problem("the text after the value looks like a comment, but a comment needs a line of its own",
                    instead);
        }
        if (pending_) add(std::move(*pending_));
        pending_.reset();
    }

    void keepLine(std::vector<KeyLine>* lines) {
        if (review_ == nullptr || lines == nullptr) return;
        try {
            lines->push_back(KeyLine{line_number_, std::string(key_), std::string(value_)});
        } catch (const std::bad_alloc&) {
        }
    }

    void openBundle(std::string_view name) {
        section_ = Section::bundle;
        bundle_header_ = line_number_;
        bundle_keys_.clear();
        // A repeated name starts another bundle; it never continues the first.
        bundle_ = Bundle{};
        copyText(bundle_.name, name);
    }

    void closeBundle() {
        if (section_ != Section::bundle) return;
        if (bundle_.url.empty() || bundle_.target_dir.empty()) {
            if (!quiet_) {
                log::warn(log::Scope::config, "bundle '", bundle_.name,
                          "' missing url or target_dir, skipping");
            }
            const bool no_url = bundle_.url.empty();
            const bool no_dir = bundle_.target_dir.empty();
            try {
                config_.incomplete.push_back(IncompleteBundle{
                    bundle_.name, no_url && no_dir ? "url and target_dir" : no_url ? "url" : "target_dir",
                    config_.bundles.size()});
            } catch (const std::bad_alloc&) {
                // A reload then treats the bundle as removed from the file.
            }
            if (review_ != nullptr) {
                add(ConfigProblem{bundle_header_, bundleHeader(bundle_.name),
                                  no_url && no_dir ? "has no url and no target_dir"
                                  : no_url         ? "has no url"
                                                   : "has no target_dir",
                                  "nothing from this bundle: it is skipped"});
            }
            section_ = Section::ignored;
            return;
        }
        // Everything the agent keeps for a bundle (status, digest and
        // Last-Modified records, the log's "[name]") goes by its name: a
        // second bundle of one name would read and overwrite the first's.
        for (std::size_t i = 0; i < config_.bundles.size(); ++i) {
            if (config_.bundles[i].name != bundle_.name) continue;
            if (!quiet_) {
                log::error(log::Scope::config, "bundle '", bundle_.name,
                           "' is defined more than once; the later one is skipped");
            }
            if (review_ != nullptr && i < review_->bundle_headers.size()) {
                add(ConfigProblem{bundle_header_, bundleHeader(bundle_.name),
                                  "has the name of the bundle on line " +
                                      std::to_string(review_->bundle_headers[i]),
                                  "nothing from this bundle: it is skipped"});
            }
            section_ = Section::ignored;
            return;
        }
        section_ = Section::ignored;
        // A chunked payload is one raw file when the bundle names the file,
        // a tar archive otherwise; the install goes by `format` alone.
        if (bundle_.chunked) {
            bundle_.format = bundle_.filename ? BundleFormat::raw : BundleFormat::archive;
        }
        try {
            if (review_ != nullptr) {
                review_->bundle_headers.push_back(bundle_header_);
                review_->bundle_keys.push_back(std::move(bundle_keys_));
            }
            config_.bundles.push_back(std::move(bundle_));
        } catch (const std::bad_alloc&) {
            // Without memory for the list the bundle is dropped; the others stay.
            if (review_ != nullptr) {
                review_->bundle_headers.resize(config_.bundles.size());
                review_->bundle_keys.resize(config_.bundles.size());
            }
        }
    }

    void globalKey(std::string_view key, std::string_view value) {
        if (key == "tls_verify") {
            config_.tls_verify = value == "true" || value == "yes" || value == "1";
            if (!config_.tls_verify && value != "false" && value != "no" && value != "0") {
                problem("is not yes or no", "no: server certificates are not checked");
            }
        } else if (key == "state_dir") {
            pathKey(config_.state_dir, key, value);
        } else if (key == "metrics_file") {
            pathKey(config_.metrics_file, key, value);
        } else if (key == "log_format") {
            if (value == "json") {
                config_.log_format = LogFormat::json;
            } else if (value == "text") {
                config_.log_format = LogFormat::text;
            } else {
                warnIgnored(key, value, "is not text or json");
            }
        } else if (key == "log_level") {
            if (value == "error") {
                config_.log_level = LogLevel::error;
            } else if (value == "warning") {
                config_.log_level = LogLevel::warning;
            } else if (value == "info") {
                config_.log_level = LogLevel::info;
            } else if (value == "debug") {
                config_.log_level = LogLevel::debug;
            } else {
                warnIgnored(key, value, "is not error, warning, info or debug");
            }
        } else if (!optionKey(config_.defaults, key, value)) {
            unknownKey("is not a key of [global]");
        }
    }

    // The warning for a value of an optional key that does not parse; the
    // key then counts as absent. The keys every bundle has (interval, mode,
    // format, ...) fall back to their defaults silently instead.
    void warnIgnored(std::string_view key, std::string_view value, std::string_view why) {
        problem(why, section_ == Section::global ? "the default"
                                                  : "the [global] value, or the default without one");
        if (quiet_) return;
        if (section_ == Section::global) {
            log::warn(log::Scope::config, "[global]: ", key, " = '", value, "' ", why, "; ignored");
        } else {
            log::warn(log::Scope::config, "bundle '", bundle_.name, "': ", key, " = '", value, "' ",
                      why, "; ignored");
        }
    }

    // A key line the agent passes over: in `check`, and in the log of a
    // reload (a URL's password masked, as everywhere in the log).
    void unknownKey(std::string_view why) {
        problem(why, "nothing from this line");
        if (!warn_ignored_lines_) return;
        try {
            const std::string value = redactPassword(value_);
            if (section_ == Section::global) {
                log::warn(log::Scope::config, "[global]: ", key_, " = '", value, "' ", why, "; ignored");
            } else {
                log::warn(log::Scope::config, "bundle '", bundle_.name, "': ", key_, " = '", value, "' ",
                          why, "; ignored");
            }
        } catch (const std::bad_alloc&) {
        }
    }

    // A path of the agent's own files; "" would make the file names
    // absolute ("/name.json"), so an empty path counts as absent.
    void pathKey(std::optional<std::string>& field, std::string_view key, std::string_view value) {
        if (value.empty()) {
            warnIgnored(key, value, "is empty");
            field.reset();
            return;
        }
        copyText(field, value);
    }

    // A number within the key's limits; anything else leaves the key absent.
    template <class Unsigned>
    void option(std::optional<Unsigned>& field, const OptionKey& row, std::string_view value) {
        const auto parsed = parseUnsigned(value, 10, IntegerWidth::bits64);
        if (!parsed || *parsed < row.minimum || *parsed > row.maximum) {
            // The log keeps its one wording; check says which limit.
            if (review_ != nullptr) {
                warnIgnored(row.name, value, numberProblem(value, row.minimum, row.maximum));
            } else {
                warnIgnored(row.name, value, "is not a number");
            }
            field.reset();
            return;
        }
        field = static_cast<Unsigned>(*parsed);
    }

    void option(std::optional<bool>& field, const OptionKey& row, std::string_view value) {
        if (value == "yes" || value == "true" || value == "1") {
            field = true;
        } else if (value == "no" || value == "false" || value == "0") {
            field = false;
        } else {
            warnIgnored(row.name, value, "is not yes or no");
            field.reset();
        }
    }

    void option(std::optional<std::string>& field, const OptionKey&, std::string_view value) {
        copyText(field, value);
    }

    void option(std::optional<TlsProfileSetting>& field, const OptionKey& row,
                std::string_view value) {
        if (value == "baseline") {
            field = TlsProfileSetting::baseline;
        } else if (value == "compatible") {
            field = TlsProfileSetting::compatible;
        } else {
            warnIgnored(row.name, value, "is not baseline or compatible");
            field.reset();
        }
    }

    // The keys of the option list that may stand in the current section.
    // Returns whether `key` is one of them.
    bool optionKey(BundleOptions& o, std::string_view key, std::string_view value) {
        bool known = false;
        forEachOption(o, [&](const OptionKey& row, auto& field) {
            if (known || row.name != key) return;
            if (section_ == Section::global && row.scope != OptionScope::bundle_and_global) return;
            known = true;
            option(field, row, value);
        });
        return known;
    }

    void bundleKey(std::string_view key, std::string_view value) {
        Bundle& b = bundle_;
        if (key == "url") {
            copyText(b.url, value);
        } else if (key == "target_dir") {
            copyText(b.target_dir, value);
        } else if (key == "poll_interval") {
            const auto seconds = parseUnsigned(value, 10, IntegerWidth::bits32);
            b.poll_interval = seconds ? static_cast<std::uint32_t>(*seconds) : kDefaultPollInterval;
            if (!seconds) problem(numberProblem(value, 0, UINT32_MAX), "60 seconds");
        } else if (key == "mode") {
            b.mode = value == "direct" ? DeployMode::direct : DeployMode::versioned;
            if (value != "direct" && value != "versioned") {
                problem("is not versioned or direct", "versioned");
            }
        } else if (key == "format") {
            b.format = value == "raw" ? BundleFormat::raw : BundleFormat::archive;
            b.chunked = value == "chunked";
            if (value != "raw" && value != "archive" && value != "chunked") {
                problem("is not archive, raw or chunked", "archive");
            }
        } else if (key == "filename") {
            copyText(b.filename, value);
        } else if (key == "post_sync") {
            copyText(b.post_sync, value);
        } else if (key == "authorization") {
            copyText(b.authorization, value);
        } else if (key == "extract_owner") {
            copyText(b.extract_owner, value);
        } else if (key == "public_key") {
            copyText(b.public_key, value);
        } else if (key == "signature_url") {
            copyText(b.signature_url, value);
        } else if (key == "pre_switch") {
            copyText(b.pre_switch, value);
        } else if (key == "extract_mode") {
            // A bad mode clears an earlier good one: files are then written
            // with the archive's own bits rather than a stale guess.
            const auto bits = parseUnsigned(value, 8, IntegerWidth::bits32);
            if (bits) {
                b.extract_mode = static_cast<std::uint32_t>(*bits);
                if (*bits > kHighestMode) {
                    problem("is over 07777", "only its permission bits, " +
                                                 octalText(*bits & kHighestMode));
                }
            } else {
                b.extract_mode.reset();
                problem("is not an octal mode", "the modes the archive gives");
            }
        } else if (!optionKey(b.options, key, value)) {
            unknownKey("is not a key of a bundle");
        }
    }

    Config config_;
    Section section_ = Section::ignored;
    Bundle bundle_;
    ConfigReview* review_ = nullptr;
    // The key line being read, as written, and its problem if any.
    std::string_view key_;
    std::string_view value_;
    std::optional<ConfigProblem> pending_;
    // The open bundle's header line and key lines, for the review.
    std::size_t bundle_header_ = 0;
    std::vector<KeyLine> bundle_keys_;
    std::size_t line_number_ = 0;
    // Writes no line: for a first look at the text, or for `check`.
    bool quiet_ = false;
    // Warns about every key line and header it passes over (a reload).
    bool warn_ignored_lines_ = false;
    // Keys before the first header stand outside every section.
    bool seen_header_ = false;
};

}  // namespace

namespace {

log::Level logLevelOf(LogLevel level) {
    switch (level) {
    case LogLevel::error: return log::Level::error;
    case LogLevel::warning: return log::Level::warning;
    case LogLevel::info: return log::Level::info;
    case LogLevel::debug: return log::Level::debug;
    }
    return log::Level::info;
}

Config parseWith(Parser& parser, std::string_view text) {
    // Only a line feed ends a line; the CR of a CR LF pair is trimmed away.
    for (;;) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            parser.line(text);
            break;
        }
        parser.line(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    return parser.finish();
}

}  // namespace

Config parseConfig(std::string_view text, ConfigReview* review) {
    Parser parser(review);
    return parseWith(parser, text);
}

std::string_view defaultConfigPath() { return QUILLSTEAD_CONFIG_PATH; }

std::expected<Config, ConfigLoadError> loadConfig(std::string_view path, ConfigReading reading) {
    Config config;
    {
        auto text = platform::readWholeFile(path, kMaxConfigBytes);
        if (!text) {
            if (text.error() == Error::FileNotFound) {
                log::error(log::Scope::config, "config file not found: ", path);
                return std::unexpected(ConfigLoadError{ConfigFailure::reported, Error::FileNotFound});
            }
            return std::unexpected(ConfigLoadError{ConfigFailure::read_failed, text.error()});
        }
        if (reading == ConfigReading::start_up) {
            // The format of the file's own warnings is the file's choice,
            // so one quiet look at the text comes first.
            Parser quiet(nullptr, Voice::silent);
            applyLogSettings(parseWith(quiet, *text));
        }
        Parser parser(nullptr, reading == ConfigReading::reload ? Voice::reload : Voice::start_up);
        config = parseWith(parser, *text);
        // The file text goes out of scope here; only the copied values stay.
    }
    if (config.bundles.empty()) {
        log::error(log::Scope::config, "no valid bundle definitions found");
        return std::unexpected(ConfigLoadError{ConfigFailure::reported, Error::ConfigError});
    }
    log::info(log::Scope::config, "loaded config from ", path, ": ", config.bundles.size(),
              " bundle(s)");
    return config;
}

void applyLogSettings(const Config& config) {
    log::setFormat(config.log_format == LogFormat::json ? log::Format::json : log::Format::text);
    log::setMinimumLevel(logLevelOf(config.log_level));
}

bool ConfigReview::reported(std::size_t line) const {
    for (const ConfigProblem& p : problems) {
        if (p.line == line) return true;
    }
    return false;
}

std::string problemSubject(std::string_view key, std::string_view value) {
    return std::string(key) + " = '" + redactPassword(value) + "'";
}

}  // namespace qs
