#include "core/check_command.hpp"

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "config/load_config.hpp"
#include "util/url_password.hpp"
#include "core/option_text.hpp"
#include "deploy/ownership.hpp"
#include "http/uri.hpp"
#include "log/log.hpp"
#include "platform/fd.hpp"
#include "sync/signature_check.hpp"

namespace qs {

namespace {

constexpr int kStdout = 1;
// The highest mode that means anything: permission bits plus set-user-ID,
// set-group-ID and sticky.
constexpr std::uint32_t kHighestMode = 07777;
// Public keys are a few hundred bytes; a file far larger is not one.
constexpr std::size_t kMaxPublicKeyBytes = 65536;

class Report {
public:
    void line(std::string_view text) {
        text_ += text;
        text_ += '\n';
    }
    void bundleProblem(const Bundle& bundle, std::string_view what) {
        problem("bundle '" + bundle.name + "': " + std::string(what));
    }
    void problem(std::string_view what) {
        ++problems_;
        text_ += "problem: ";
        line(what);
    }
    [[nodiscard]] std::size_t problems() const { return problems_; }
    [[nodiscard]] const std::string& text() const { return text_; }

private:
    std::string text_;
    std::size_t problems_ = 0;
};

std::string octalText(std::uint32_t value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + value % 8));
        value /= 8;
    } while (value != 0);
    while (digits.size() < 4) digits.insert(digits.begin(), '0');
    return digits;
}

// The settings of one bundle after [global] defaults, on one line.
std::string settingsLine(const Bundle& b) {
    std::string s = "[" + b.name + "] url=" + redactPassword(b.url) + " dir=" + b.target_dir +
                    " poll=" + std::to_string(b.poll_interval) + "s mode=" +
                    std::string(deployModeName(b.mode)) +
                    " format=" + (b.format == BundleFormat::raw ? "raw" : "archive");
    const auto text = [&s](std::string_view key, const std::optional<std::string>& value) {
        if (value) s.append(" ").append(key).append("=").append(*value);
    };
    text("filename", b.filename);
    text("extract_owner", b.extract_owner);
    if (b.extract_mode) s += " extract_mode=" + octalText(*b.extract_mode);
    text("post_sync", b.post_sync);
    text("pre_switch", b.pre_switch);
    text("public_key", b.public_key);
    if (b.signature_url) s += " signature_url=" + redactPassword(*b.signature_url);
    // A credential is shown only as being there.
    if (b.authorization) s += " authorization=***";
    s += optionsText(b.options, OptionsShown::every);
    return s;
}

void checkUrl(Report& report, const Bundle& b) {
    const auto uri = parseUri(b.url);
    if (!uri) {
        report.bundleProblem(b, "url '" + redactPassword(b.url) + "' does not parse (error." +
                                    std::string(errorName(uri.error())) + ")");
        return;
    }
    if (!protocolOf(*uri)) {
        report.bundleProblem(b, "url '" + redactPassword(b.url) + "' has the unsupported scheme '" +
                                    std::string(uri->scheme) + "'");
    }
}

void checkBundle(Report& report, const Bundle& b) {
    checkUrl(report, b);
    if (b.format == BundleFormat::raw && (!b.filename || b.filename->empty())) {
        report.bundleProblem(b, "format = raw without a filename");
    }
    if (b.extract_owner && !ownerResolves(*b.extract_owner)) {
        report.bundleProblem(b, "extract_owner '" + *b.extract_owner +
                                    "' names a user or group that does not exist");
    }
    if (b.extract_mode && *b.extract_mode > kHighestMode) {
        report.bundleProblem(b, "extract_mode " + octalText(*b.extract_mode) + " is over 07777");
    }
    // A key that cannot be read or is no usable key makes the daemon skip
    // the bundle.
    if (b.public_key) {
        if (auto key = platform::readWholeFile(*b.public_key, kMaxPublicKeyBytes); !key) {
            report.bundleProblem(b, "public_key '" + *b.public_key + "' cannot be read (error." +
                                        std::string(errorName(key.error())) + ")");
        } else if (auto usable = readPublicKeyFile(*b.public_key); !usable) {
            report.bundleProblem(b, "public_key '" + *b.public_key + "' unusable (error." +
                                        std::string(errorName(usable.error())) + ")");
        }
    }
}

// The directory as written, without trailing slashes, so "/srv/a/" and
// "/srv/a" count as the same place.
std::string_view comparableDir(std::string_view dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
    return dir;
}

void checkSharedTargets(Report& report, const std::vector<Bundle>& bundles) {
    for (std::size_t i = 0; i < bundles.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (comparableDir(bundles[i].target_dir) != comparableDir(bundles[j].target_dir)) continue;
            report.problem("bundles '" + bundles[j].name + "' and '" + bundles[i].name +
                           "' share target_dir " + bundles[i].target_dir);
            break;
        }
    }
}

std::string skippedText(const SkippedLine& s) {
    const std::string where = "line " + std::to_string(s.line_number) + ": ";
    const std::string in = s.bundle ? "bundle '" + *s.bundle + "': " : "[global]: ";
    switch (s.kind) {
    case SkippedLine::Kind::unknown_key: return in + where + "unknown key '" + s.text + "' ignored";
    case SkippedLine::Kind::ignored_header:
        return where + "section '" + s.text + "' is not [global], [bundle] or [bundle.NAME]; "
               "its keys are ignored";
    case SkippedLine::Kind::key_outside:
        return where + "key '" + s.text + "' stands before any section; ignored";
    case SkippedLine::Kind::bad_value: return in + where + "value of " + s.text + " ignored";
    case SkippedLine::Kind::incomplete_bundle:
        return "bundle '" + s.text + "' lacks url or target_dir and is skipped";
    case SkippedLine::Kind::duplicate_bundle:
        return "bundle '" + s.text + "' is defined more than once; the later one (line " +
               std::to_string(s.line_number) + ") is skipped";
    }
    return where + s.text;
}

int check(std::string_view config_path) {
    std::vector<SkippedLine> skipped;
    auto loaded = loadConfig(config_path, &skipped);
    if (!loaded) {
        if (loaded.error().failure == ConfigFailure::read_failed) {
            log::startupError(loaded.error().error);
        }
        return 1;
    }
    const Config& config = *loaded;
    Report report;
    for (const Bundle& b : config.bundles) report.line(settingsLine(b));
    for (const SkippedLine& s : skipped) report.problem(skippedText(s));
    for (const Bundle& b : config.bundles) checkBundle(report, b);
    checkSharedTargets(report, config.bundles);
    if (report.problems() == 0) {
        report.line("configuration ok: " + std::to_string(config.bundles.size()) + " bundle(s)");
    } else {
        report.line(std::to_string(report.problems()) + " problem(s) found");
    }
    if (auto written = platform::writeAll(kStdout, report.text()); !written) {
        log::startupError(written.error());
        return 1;
    }
    return report.problems() == 0 ? 0 : 1;
}

}  // namespace

int runCheck(const Invocation& invocation) {
    try {
        return check(invocation.config_path);
    } catch (const std::bad_alloc&) {
        log::startupError(Error::OutOfMemory);
        return 1;
    }
}

}  // namespace qs
