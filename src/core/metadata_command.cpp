#include "core/metadata_command.hpp"

#include <array>
#include <memory>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "core/command_line.hpp"
#include "formats/bundle_metadata.hpp"
#include "log/log.hpp"
#include "platform/fd.hpp"
#include "platform/process_state.hpp"
#include "tls/digest.hpp"

namespace qs {

namespace {

constexpr int kStdout = 1;
constexpr int kUnreadable = 1;
constexpr int kRefused = 2;
// The payload is hashed in blocks of this size, so that a payload of any
// size costs the command the same memory.
constexpr std::size_t kHashBlock = 256 * 1024;
// Ten thousand years: far past any expiry worth signing, and far from the
// 64-bit limits the sum with the clock could reach.
constexpr std::int64_t kLongestDuration = std::int64_t{10000} * 366 * 86400;

int refuse(const std::string& what) {
    log::plainLine("error: metadata: ", what);
    log::plainLine("usage: ", kUsageLine);
    return kRefused;
}

std::optional<std::string_view> valueOf(const Invocation& invocation, std::string_view option) {
    for (const OptionValue& given : invocation.values) {
        if (given.option == option) return given.value;
    }
    return std::nullopt;
}

struct PayloadFacts {
    std::uint64_t size = 0;
    std::string sha256;
};

Result<PayloadFacts> readPayload(std::string_view path) {
    QS_TRY_ASSIGN(platform::Fd fd, platform::openForReading(std::nullopt, path));
    std::unique_ptr<char[]> block(new (std::nothrow) char[kHashBlock]);
    if (!block) return std::unexpected(Error::OutOfMemory);
    Sha256 hash;
    PayloadFacts facts;
    for (;;) {
        QS_TRY_ASSIGN(const std::size_t n, platform::readSome(fd.get(), {block.get(), kHashBlock}));
        if (n == 0) break;
        hash.update({block.get(), n});
        facts.size += n;
    }
    QS_TRY_ASSIGN(const Sha256Digest digest, hash.finish());
    facts.sha256 = hexDigest(digest);
    return facts;
}

int metadata(const Invocation& invocation) {
    const auto bundle = valueOf(invocation, "--bundle");
    const auto serial_text = valueOf(invocation, "--serial");
    const auto expires_text = valueOf(invocation, "--expires");
    if (!bundle) return refuse("--bundle NAME is missing");
    if (!serial_text) return refuse("--serial N is missing");
    if (!expires_text) return refuse("--expires DURATION is missing");
    if (invocation.operands.empty()) return refuse("the payload file is missing");
    const auto duration = durationSeconds(*expires_text);
    if (!duration) return refuse("--expires '" + std::string(*expires_text) + "' is not a duration such as 7d");

    // The values are checked by the agent's own reader before anything is
    // printed: what the publisher signs is what every agent accepts.
    const auto probe = [](std::string_view name, std::string_view serial) {
        return parseBundleMetadata("bundle: " + std::string(name) + "\nserial: " + std::string(serial) +
                                   "\nexpires: " + formatUtcTime(0) + "\nsize: 0\nsha256: " +
                                   std::string(64, '0') + "\n");
    };
    if (!probe(*bundle, "1")) {
        return refuse("--bundle '" + std::string(*bundle) +
                      "' is not a bundle name (1 to 255 visible characters)");
    }
    const auto parsed = probe(*bundle, *serial_text);
    if (!parsed) return refuse("--serial '" + std::string(*serial_text) + "' is not a whole number above 0");
    BundleMetadata fields;
    fields.bundle = *bundle;
    fields.expires = platform::wallClockSeconds() + *duration;
    fields.serial = parsed->serial;

    const std::string_view path = invocation.operands[0];
    const auto facts = readPayload(path);
    if (!facts) {
        log::plainLine("error: metadata: cannot read ",
                       std::string(path) + ": error." + std::string(errorName(facts.error())));
        return kUnreadable;
    }
    fields.size = facts->size;
    fields.sha256 = facts->sha256;
    if (auto written = platform::writeAll(kStdout, formatBundleMetadata(fields)); !written) {
        log::startupError(written.error());
        return 1;
    }
    return 0;
}

}  // namespace

std::optional<std::int64_t> durationSeconds(std::string_view text) {
    std::int64_t unit = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 's': unit = 1; break;
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        case 'd': unit = 86400; break;
        case 'w': unit = 7 * 86400; break;
        default: unit = 0; break;
        }
        if (unit != 0) text.remove_suffix(1);
        if (unit == 0) unit = 1;
    }
    if (text.empty() || text.size() > 12) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value * unit > kLongestDuration) return std::nullopt;
    return value * unit;
}

int runMetadata(const Invocation& invocation) {
    try {
        return metadata(invocation);
    } catch (const std::bad_alloc&) {
        log::startupError(Error::OutOfMemory);
        return 1;
    }
}

}  // namespace qs
