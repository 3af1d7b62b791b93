#include "sync/payload_record.hpp"

#include <new>

#include "log/log.hpp"
#include "platform/path_calls.hpp"
#include "platform/record_file.hpp"
#include "util/text.hpp"

namespace qs {

namespace {

// Both values are short header-sized texts; anything larger was not
// written by the agent.
constexpr std::size_t kMaxPayloadRecordBytes = 256;

std::string_view recordName(PayloadRecord record) {
    switch (record) {
    case PayloadRecord::digest: return "digest";
    case PayloadRecord::last_modified: return "last-modified";
    }
    return "digest";
}

std::string& valueOf(BundleState& state, PayloadRecord record) {
    switch (record) {
    case PayloadRecord::digest: return state.payload_digest;
    case PayloadRecord::last_modified: return state.last_modified;
    }
    return state.payload_digest;
}

std::string loadRecord(const std::string& path) {
    auto contents = platform::readRecordFile(path, kMaxPayloadRecordBytes);
    if (!contents) {
        if (platform::isForeignEntry(contents.error())) {
            log::warn(log::Scope::bundle, "ignored ", path, ": not a regular file");
        }
        return {};
    }
    return std::string(trimSpace(*contents));
}

}  // namespace

std::string recordPrefix(const Bundle& bundle, const std::optional<std::string>& state_dir) {
    if (!state_dir) return {};
    std::string prefix = *state_dir + "/";
    // "%" is escaped as well, so that no two names ("a/b" and "a%2Fb") come
    // to share one record.
    for (const char c : bundle.name) {
        if (c == '/') {
            prefix += "%2F";
        } else if (c == '%') {
            prefix += "%25";
        } else {
            prefix += c;
        }
    }
    return prefix + ".";
}

std::string payloadRecordPath(const Bundle& bundle, const BundleState& state, PayloadRecord record) {
    const std::string prefix =
        state.record_prefix.empty() ? bundle.target_dir + "/." : state.record_prefix;
    return prefix + std::string(recordName(record));
}

void loadPayloadRecords(const Bundle& bundle, BundleState& state) {
    try {
        if (bundle.options.skip_identical.value_or(false)) {
            state.payload_digest =
                loadRecord(payloadRecordPath(bundle, state, PayloadRecord::digest));
        }
        if (bundle.options.use_last_modified.value_or(false)) {
            state.last_modified =
                loadRecord(payloadRecordPath(bundle, state, PayloadRecord::last_modified));
        }
    } catch (const std::bad_alloc&) {
        // Without the values the next payload is installed as new: harmless.
    }
}

void savePayloadRecord(const Bundle& bundle, BundleState& state, PayloadRecord record,
                       std::string_view value) {
    std::string& kept = valueOf(state, record);
    try {
        kept.assign(value);
        const std::string path = payloadRecordPath(bundle, state, record);
        if (value.empty()) {
            platform::unlinkIgnoringResult(path);
            return;
        }
        if (auto written = platform::replaceRecordFile(path, value); !written) {
            log::warn(log::Scope::bundle, "failed to save ", recordName(record), " to ", path, ": ",
                      written.error());
        }
    } catch (const std::bad_alloc&) {
        kept.clear();
    }
}

}  // namespace qs
