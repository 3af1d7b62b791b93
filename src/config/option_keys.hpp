#pragma once
// The keys a bundle may set and `[global]` may default, in one list. The
// record's fields, the [global] inheritance, the parser, `check`'s settings
// line and the start-up summary are all made from it, so adding a key is
// one row here plus what the key does.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qs {

// How a value is read and shown.
enum class OptionKind {
    number,  // radix 10, underscores allowed, within [minimum, maximum]
    yes_no,  // yes/true/1 or no/false/0
    text,    // taken as written
    url,     // taken as written; a password in it is never shown
    tls_profile,  // baseline or compatible
};

// What a bundle's TLS handshakes offer (the TLS layer gives the details).
enum class TlsProfileSetting { baseline, compatible };

// Where the key may stand.
enum class OptionScope {
    bundle,             // a bundle's own line only
    bundle_and_global,  // also in [global], as the default of every bundle
};

// Where the start-up summary shows the key (`check` shows every key).
enum class OptionShown {
    check_only,
    limits,    // on the bundle's "limits:" line: what a stalled server can cost it
    settings,  // on the bundle's first summary line
};

// X(key, field type, kind, minimum, maximum, unit, scope, shown)
// Numbers outside [minimum, maximum] are refused like text that is no number.
#define QS_BUNDLE_OPTION_KEYS(X)                                                                   \
    X(connect_timeout, std::uint32_t, number, 0, UINT32_MAX, "s", bundle_and_global, limits)       \
    X(io_timeout, std::uint32_t, number, 0, UINT32_MAX, "s", bundle_and_global, limits)            \
    X(max_fetch_time, std::uint32_t, number, 0, UINT32_MAX, "s", bundle_and_global, limits)        \
    X(hook_timeout, std::uint32_t, number, 0, UINT32_MAX, "s", bundle_and_global, limits)          \
    X(retry_backoff, std::uint32_t, number, 0, UINT32_MAX, "s", bundle_and_global, limits)         \
    X(poll_jitter, std::uint32_t, number, 0, 100, "%", bundle_and_global, limits)                  \
    X(max_payload_bytes, std::uint64_t, number, 0, UINT64_MAX, "", bundle_and_global, check_only)  \
    X(max_unpacked_bytes, std::uint64_t, number, 0, UINT64_MAX, "", bundle_and_global, check_only) \
    X(max_entries, std::uint64_t, number, 0, UINT64_MAX, "", bundle_and_global, check_only)        \
    X(durable, bool, yes_no, 0, 0, "", bundle_and_global, check_only)                              \
    X(keep_versions, std::uint32_t, number, 1, UINT32_MAX, "", bundle_and_global, check_only)      \
    X(proxy, std::string, url, 0, 0, "", bundle_and_global, settings)                              \
    X(no_proxy, std::string, text, 0, 0, "", bundle_and_global, check_only)                        \
    X(skip_identical, bool, yes_no, 0, 0, "", bundle_and_global, check_only)                       \
    X(use_last_modified, bool, yes_no, 0, 0, "", bundle_and_global, check_only)                    \
    X(chunk_store, std::string, url, 0, 0, "", bundle, check_only)                                 \
    X(chunk_connections, std::uint32_t, number, 1, 16, "", bundle_and_global, check_only)          \
    X(prune, bool, yes_no, 0, 0, "", bundle_and_global, check_only)                                \
    X(metadata_url, std::string, url, 0, 0, "", bundle, settings)                                  \
    X(metadata_signature_url, std::string, url, 0, 0, "", bundle, check_only)                      \
    X(metadata_name, std::string, text, 0, 0, "", bundle, check_only)                              \
    X(ca_file, std::string, text, 0, 0, "", bundle_and_global, settings)                           \
    X(client_cert, std::string, text, 0, 0, "", bundle_and_global, check_only)                     \
    X(client_key, std::string, text, 0, 0, "", bundle_and_global, check_only)                      \
    X(tls_profile, TlsProfileSetting, tls_profile, 0, 0, "", bundle_and_global, settings)

// One row of the list, for code that handles every key alike.
struct OptionKey {
    std::string_view name;
    OptionKind kind;
    std::uint64_t minimum;
    std::uint64_t maximum;
    std::string_view unit;
    OptionScope scope;
    OptionShown shown;
};

// Absent means the key was not given (or did not parse): the bundle's own
// line wins, then the `[global]` line, then the behaviour of an agent
// without the key.
struct BundleOptions {
#define QS_OPTION_FIELD(key, type, ...) std::optional<type> key;
    QS_BUNDLE_OPTION_KEYS(QS_OPTION_FIELD)
#undef QS_OPTION_FIELD

    // Fills every key this record lacks from `defaults`.
    void inheritFrom(const BundleOptions& defaults);
    // Whether any key is set.
    [[nodiscard]] bool any() const;

    bool operator==(const BundleOptions&) const = default;
};

// Calls f(const OptionKey&, field of each record...) for every key in list
// order, the records' fields of one key side by side; records may be const.
template <class F, class... Options>
void visitOptions(F&& f, Options&... options) {
#define QS_OPTION_VISIT(key, type, kind, minimum, maximum, unit, scope, shown)                    \
    f(OptionKey{#key, OptionKind::kind, minimum, maximum, unit, OptionScope::scope,               \
                OptionShown::shown},                                                               \
      options.key...);
    QS_BUNDLE_OPTION_KEYS(QS_OPTION_VISIT)
#undef QS_OPTION_VISIT
}

// Calls f(const OptionKey&, field) for every key in list order; `options`
// may be const.
template <class Options, class F>
void forEachOption(Options& options, F&& f) {
    visitOptions(f, options);
}

}  // namespace qs
