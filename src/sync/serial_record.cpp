#include "sync/serial_record.hpp"

#include <array>
#include <new>

#include "platform/record_file.hpp"
#include "sync/current_link.hpp"
#include "sync/version_store.hpp"

namespace qs {

namespace {

// Enough to follow a long run of rollbacks to versions still kept; older
// entries name versions long removed.
constexpr std::size_t kMaxSerialEntries = 64;
// Each line is a serial, a digest and a version name.
constexpr std::size_t kMaxSerialRecordBytes = kMaxSerialEntries * 4200 + 64;

std::optional<std::uint64_t> decimalOf(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool versioned(const Bundle& bundle) {
    return bundle.format != BundleFormat::raw && bundle.mode == DeployMode::versioned;
}

}  // namespace

SerialRecord loadSerialRecord(std::string_view target_dir) {
    SerialRecord record;
    try {
        const std::string path = joinPath(target_dir, kSerialRecordName);
        const auto text = platform::readRecordFile(path, kMaxSerialRecordBytes);
        if (!text) return record;
        std::string_view rest = *text;
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            const std::string_view line = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
            if (line.starts_with("highest ")) {
                if (const auto highest = decimalOf(line.substr(8))) record.highest = *highest;
                continue;
            }
            const std::size_t first = line.find(' ');
            if (first == std::string_view::npos) continue;
            const std::size_t second = line.find(' ', first + 1);
            if (second == std::string_view::npos) continue;
            const auto serial = decimalOf(line.substr(0, first));
            const std::string_view sha256 = line.substr(first + 1, second - first - 1);
            const std::string_view name = line.substr(second + 1);
            if (!serial || sha256.size() != 64 || name.empty()) continue;
            record.entries.push_back(SerialEntry{*serial, std::string(sha256), std::string(name)});
        }
        // A record edited by hand cannot lower the bar below what it lists.
        for (const SerialEntry& entry : record.entries) {
            if (entry.serial > record.highest) record.highest = entry.serial;
        }
    } catch (const std::bad_alloc&) {
        return SerialRecord{};
    }
    return record;
}

Result<void> saveSerialRecord(std::string_view target_dir, const SerialRecord& record, bool durable) {
    std::string text;
    std::string path;
    try {
        path = joinPath(target_dir, kSerialRecordName);
        text.append("highest ").append(std::to_string(record.highest)).append("\n");
        const std::size_t skip =
            record.entries.size() > kMaxSerialEntries ? record.entries.size() - kMaxSerialEntries : 0;
        for (std::size_t i = skip; i < record.entries.size(); ++i) {
            const SerialEntry& entry = record.entries[i];
            text.append(std::to_string(entry.serial)).append(" ").append(entry.sha256).append(" ");
            text.append(entry.name).append("\n");
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(Error::OutOfMemory);
    }
    return platform::replaceRecordFile(
        path, text, durable ? platform::RecordFlush::data_and_name : platform::RecordFlush::none);
}

std::string liveName(const Bundle& bundle) {
    if (!versioned(bundle)) return std::string(kUnversionedEntry);
    std::array<char, kMaxSystemPath> buffer;
    const auto target = readCurrent(bundle.target_dir, buffer);
    if (!target) return {};
    return std::string(*target);
}

std::optional<SerialEntry> liveEntry(const Bundle& bundle, const SerialRecord& record) {
    const std::string name = liveName(bundle);
    if (name.empty()) return std::nullopt;
    for (auto entry = record.entries.rbegin(); entry != record.entries.rend(); ++entry) {
        if (entry->name == name) return *entry;
    }
    return std::nullopt;
}

void recordLive(SerialRecord& record, SerialEntry entry) {
    // A name that holds a line end would split its line; such a version is
    // recorded by its serial alone.
    if (entry.name.find('\n') != std::string::npos || entry.name.empty()) entry.name = kUnversionedEntry;
    std::erase_if(record.entries, [&](const SerialEntry& e) { return e.name == entry.name; });
    if (entry.serial > record.highest) record.highest = entry.serial;
    record.entries.push_back(std::move(entry));
}

}  // namespace qs
