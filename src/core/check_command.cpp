#include "core/check_command.hpp"

#include <cstddef>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "config/load_config.hpp"
#include "util/url_password.hpp"
#include "core/option_text.hpp"
#include "deploy/ownership.hpp"
#include "http/proxy.hpp"
#include "http/uri.hpp"
#include "log/log.hpp"
#include "platform/fd.hpp"
#include "platform/path_calls.hpp"
#include "sync/chunked_source.hpp"
#include "sync/signature_check.hpp"
#include "sync/trust_store_cache.hpp"
#include "util/integer_text.hpp"

namespace qs {

namespace {

constexpr int kStdout = 1;

// The settings of one bundle after [global] defaults, on one line.
std::string settingsLine(const Bundle& b) {
    std::string s = "[" + b.name + "] url=" + redactPassword(b.url) + " dir=" + b.target_dir +
                    " poll=" + std::to_string(b.poll_interval) + "s mode=" +
                    std::string(deployModeName(b.mode)) +
                    " format=" + (b.chunked ? "chunked" : b.format == BundleFormat::raw ? "raw" : "archive");
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

std::string errorText(Error e) { return "error." + std::string(errorName(e)); }

// The line in force for `key` among `lines`: the last one.
const KeyLine* lineOf(const std::vector<KeyLine>& lines, std::string_view key) {
    const KeyLine* found = nullptr;
    for (const KeyLine& line : lines) {
        if (line.key == key) found = &line;
    }
    return found;
}

// The checks that need more than the text: the network's syntax, the
// file system and the user database. Each adds at most one problem to a
// line, and none to a line the parser already found wrong.
// Public keys are a few hundred bytes; a file far larger is not one.
constexpr std::size_t kMaxPublicKeyBytes = 65536;

class Checker {
public:
    explicit Checker(ConfigReview& review) : review_(review) {}

    void add(const KeyLine* line, std::string_view what, std::string_view instead) {
        if (line == nullptr || review_.reported(line->line)) return;
        review_.problems.push_back(ConfigProblem{line->line, problemSubject(line->key, line->value),
                                                 std::string(what), std::string(instead)});
    }

    void bundle(const Bundle& b, const std::vector<KeyLine>& lines) {
        if (const auto uri = parseUri(b.url); !uri) {
            add(lineOf(lines, "url"), "does not parse (" + errorText(uri.error()) + ")",
                "it, and every fetch fails");
        } else if (!protocolOf(*uri)) {
            add(lineOf(lines, "url"), "has a scheme other than http and https",
                "it, and every fetch fails");
        }
        const bool raw = b.format == BundleFormat::raw;
        if (raw && (!b.filename || b.filename->empty())) {
            add(lineOf(lines, "format"), "needs a filename", "it, and every install fails");
        }
        if (b.extract_owner && !ownerResolves(*b.extract_owner)) {
            add(lineOf(lines, "extract_owner"), "names a user or group that does not exist",
                "it, and every install warns and keeps the extracting user's owner");
        }
        path(lineOf(lines, "target_dir"), b.target_dir);
        if (!b.target_dir.empty() && b.target_dir.front() == '/') parentExists(lineOf(lines, "target_dir"), b.target_dir);
        if (b.public_key) {
            const KeyLine* line = lineOf(lines, "public_key");
            const std::vector<std::string> paths = publicKeyPaths(*b.public_key);
            if (paths.empty()) {
                add(line, "names no key file", "nothing from this bundle: it is skipped");
            }
            for (const std::string& key_path : paths) {
                path(line, key_path);
                const std::string which = paths.size() > 1 ? " " + key_path : std::string();
                if (auto key = platform::readWholeFile(key_path, kMaxPublicKeyBytes); !key) {
                    add(line, (which.empty() ? "cannot be read (" : "lists" + which + ", which cannot be read (") +
                                  errorText(key.error()) + ")",
                        "nothing from this bundle: it is skipped");
                } else if (auto usable = readPublicKeyFile(key_path); !usable) {
                    add(line, (which.empty() ? "is not a usable public key (" : "lists" + which + ", which is not a usable public key (") +
                                  errorText(usable.error()) + ")",
                        "nothing from this bundle: it is skipped");
                }
            }
        }
        if (!b.chunked) {
            for (const std::string_view key : {"chunk_store", "chunk_connections"}) {
                add(lineOf(lines, key), "does nothing without format = chunked", "nothing from this line");
            }
        } else if (const auto store = chunkStoreUrl(b.url, b.options.chunk_store); !store) {
            add(lineOf(lines, "chunk_store"), "does not resolve against url (" + errorText(store.error()) + ")",
                "it, and every fetch fails");
        }
        metadata(b, lines);
        // Keys that only a versioned archive bundle acts on.
        const bool versioned = !raw && b.mode == DeployMode::versioned;
        if (!versioned) {
            const std::string_view where = raw ? "does nothing in a raw bundle" : "does nothing in a direct bundle";
            for (const std::string_view key : {"pre_switch", "keep_versions"}) {
                add(lineOf(lines, key), where, "nothing from this line");
            }
        }
        // prune acts on what a direct install wrote.
        if (raw || versioned) {
            add(lineOf(lines, "prune"),
                raw ? "does nothing in a raw bundle" : "does nothing in a versioned bundle",
                "nothing from this line");
        }
    }

    // Signed metadata needs a key to check it with and a URL that resolves;
    // its other keys mean nothing without it.
    void metadata(const Bundle& b, const std::vector<KeyLine>& lines) {
        if (!b.options.metadata_url) {
            for (const std::string_view key : {"metadata_signature_url", "metadata_name"}) {
                add(lineOf(lines, key), "does nothing without metadata_url", "nothing from this line");
            }
            return;
        }
        const KeyLine* line = lineOf(lines, "metadata_url");
        if (!b.public_key) {
            add(line, "needs public_key", "nothing from this bundle: it is skipped");
            return;
        }
        if (const auto url = signatureUrlFor(b.url, b.options.metadata_url); !url) {
            add(line, "does not resolve against url (" + errorText(url.error()) + ")",
                "it, and every poll fails");
        } else if (const auto uri = parseUri(*url); !uri || !protocolOf(*uri)) {
            add(line, "has a scheme other than http and https", "it, and every poll fails");
        }
        add(lineOf(lines, "signature_url"),
            "does nothing with metadata_url: the payload is checked against the signed metadata",
            "nothing from this line");
    }

    // The TLS files a bundle names, read the way a fetch reads them. A key
    // inherited from [global] is reported at the [global] line.
    void tlsFiles(const Bundle& b, const std::vector<KeyLine>& lines,
                  const std::vector<KeyLine>& global_lines) {
        const auto lineFor = [&](std::string_view key) {
            const KeyLine* own = lineOf(lines, key);
            return own != nullptr ? own : lineOf(global_lines, key);
        };
        if (const auto& ca_file = b.options.ca_file) {
            const KeyLine* line = lineFor("ca_file");
            path(line, *ca_file);
            TrustStore store;
            if (auto added = addCertificateFile(store, *ca_file); !added) {
                add(line, "cannot be used (" + errorText(added.error()) + ")",
                    "no certificate authority: every https fetch of the bundle fails");
            } else if (store.size() == 0) {
                add(line, "holds no certificate valid now",
                    "it, and every https fetch of the bundle fails");
            }
        }
        const auto& certificate = b.options.client_cert;
        const auto& key = b.options.client_key;
        if (certificate.has_value() != key.has_value()) {
            add(lineFor(certificate ? "client_cert" : "client_key"),
                "needs both client_cert and client_key", "no client certificate");
            return;
        }
        if (!certificate) return;
        path(lineFor("client_cert"), *certificate);
        path(lineFor("client_key"), *key);
        const auto failed = checkClientIdentity(*certificate, *key);
        if (!failed) return;
        const bool key_at_fault = failed->path == *key;
        const KeyLine* line = lineFor(key_at_fault ? "client_key" : "client_cert");
        if (failed->error == Error::KeyFileOpenToOthers) {
            add(line, "is readable by group or others",
                "nothing from it: every https fetch of the bundle fails until only its owner may "
                "read it");
        } else {
            add(line, "cannot be used (" + errorText(failed->error) + ")",
                "nothing from it: every https fetch of the bundle fails");
        }
    }

    void proxy(const KeyLine* line, const std::optional<std::string>& value) {
        if (line == nullptr || !value || *value == "env") return;
        if (auto server = parseProxyUrl(*value); !server) {
            add(line, "is not env or http://[user:password@]host:port (" + errorText(server.error()) + ")",
                "it, and every fetch fails");
        }
    }

    // A relative path is taken from the agent's working directory, which
    // under a service manager is "/".
    void path(const KeyLine* line, std::string_view value) {
        if (value.empty() || value.front() == '/') return;
        add(line, "is a relative path", "it from the working directory, / under a service manager");
    }

    // The agent makes the last component of target_dir, never its parents.
    void parentExists(const KeyLine* line, std::string_view dir) {
        std::string_view trimmed = dir;
        while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
        const auto kind = platform::pathKind(trimmed);
        if (kind && *kind != platform::PathKind::missing) return;
        const std::size_t slash = trimmed.rfind('/');
        if (slash == std::string_view::npos || slash == 0) return;
        const std::string_view parent = trimmed.substr(0, slash);
        const auto parent_kind = platform::pathKind(parent);
        if (parent_kind && *parent_kind == platform::PathKind::missing) {
            add(line, "has no parent directory " + std::string(parent),
                "it, and every install fails to create it");
        }
    }

    // The agent writes state_dir's records itself, making the directory
    // when it is missing.
    void writableDir(const KeyLine* line, std::string_view dir, std::string_view instead) {
        if (dir.empty() || dir.front() != '/') return;
        auto writable = platform::checkWritableDirectory(dir);
        if (!writable && writable.error() == Error::FileNotFound) {
            std::string_view trimmed = dir;
            while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
            const std::size_t slash = trimmed.rfind('/');
            const std::string parent(slash == 0 ? std::string_view("/") : trimmed.substr(0, slash));
            writable = platform::checkWritableDirectory(parent);
        }
        if (!writable) add(line, "cannot be written (" + errorText(writable.error()) + ")", instead);
    }

    void sharedTargets(const std::vector<Bundle>& bundles) {
        for (std::size_t i = 0; i < bundles.size(); ++i) {
            for (std::size_t j = 0; j < i; ++j) {
                if (comparableDir(bundles[i].target_dir) != comparableDir(bundles[j].target_dir)) continue;
                add(lineOf(review_.bundle_keys[i], "target_dir"),
                    "is also the target_dir of bundle '" + bundles[j].name + "'",
                    "it for both, and each install undoes the other's");
                break;
            }
        }
    }

private:
    // The directory as written, without trailing slashes, so "/srv/a/" and
    // "/srv/a" count as the same place.
    static std::string_view comparableDir(std::string_view dir) {
        while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
        return dir;
    }

    ConfigReview& review_;
};


int check(std::string_view config_path) {
    auto text = platform::readWholeFile(config_path, kMaxConfigBytes);
    if (!text) {
        if (text.error() == Error::FileNotFound) {
            log::error(log::Scope::config, "config file not found: ", config_path);
        } else {
            log::startupError(text.error());
        }
        return 1;
    }
    ConfigReview review;
    const Config config = parseConfig(*text, &review);
    Checker checker(review);
    for (std::size_t i = 0; i < config.bundles.size(); ++i) {
        checker.bundle(config.bundles[i], review.bundle_keys[i]);
        checker.proxy(lineOf(review.bundle_keys[i], "proxy"), config.bundles[i].options.proxy);
        checker.tlsFiles(config.bundles[i], review.bundle_keys[i], review.global_keys);
    }
    checker.proxy(lineOf(review.global_keys, "proxy"), config.defaults.proxy);
    if (config.state_dir) {
        const KeyLine* line = lineOf(review.global_keys, "state_dir");
        checker.path(line, *config.state_dir);
        checker.writableDir(line, *config.state_dir, "no status records: each write fails with a warning");
    }
    if (config.metrics_file) checker.path(lineOf(review.global_keys, "metrics_file"), *config.metrics_file);
    checker.sharedTargets(config.bundles);
    std::ranges::stable_sort(review.problems, {}, &ConfigProblem::line);

    std::string out;
    for (const Bundle& b : config.bundles) out += settingsLine(b) + "\n";
    for (const ConfigProblem& p : review.problems) {
        out.append(config_path).append(":").append(std::to_string(p.line)).append(": ");
        out.append(p.subject).append(": ").append(p.what).append("; the agent uses ");
        out.append(p.instead).append("\n");
    }
    std::size_t problems = review.problems.size();
    if (config.bundles.empty()) {
        ++problems;
        out.append(config_path).append(": no bundle has both url and target_dir; the agent uses nothing and does not start\n");
    }
    if (problems == 0) {
        out += "configuration ok: " + std::to_string(config.bundles.size()) + " bundle(s)\n";
    } else {
        out += std::to_string(problems) + " problem(s) found\n";
    }
    if (auto written = platform::writeAll(kStdout, out); !written) {
        log::startupError(written.error());
        return 1;
    }
    return problems == 0 ? 0 : 1;
}

}  // namespace

int runCheck(const Invocation& invocation) { return check(invocation.config_path); }

}  // namespace qs
