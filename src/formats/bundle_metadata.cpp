#include "formats/bundle_metadata.hpp"

#include <array>
#include <limits>

namespace qs {

namespace {

// A bundle name longer than this is no name a configuration gives.
constexpr std::size_t kMaxBundleNameLength = 255;
constexpr std::size_t kHexDigestLength = 64;
// The years the time text can name with four digits, from the epoch on:
// an expiry before 1970 is as expired as one in 1970.
constexpr int kFirstYear = 1970;
constexpr int kLastYear = 9999;

enum Field : unsigned { bundle_field, serial_field, expires_field, size_field, sha256_field, field_count };
constexpr std::array<std::string_view, field_count> kFieldNames = {"bundle", "serial", "expires",
                                                                   "size", "sha256"};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Plain decimal digits only: no sign, no underscores, no spaces, so that
// one number has one text and a signed file says exactly one thing.
Result<std::uint64_t> decimal(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::unexpected(Error::MetadataLineMalformed);
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!isDigit(c)) return std::unexpected(Error::MetadataLineMalformed);
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
            return std::unexpected(Error::MetadataLineMalformed);
        value = value * 10 + digit;
    }
    return value;
}

int digitsAt(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (!isDigit(text[i])) return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool leapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leapYear(year) ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

// Days since 1970-01-01 of a civil date (Howard Hinnant's days-from-civil).
std::int64_t daysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = year / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

bool validBundleName(std::string_view name) {
    if (name.empty() || name.size() > kMaxBundleNameLength) return false;
    for (const char c : name) {
        if (c <= ' ' || c > '~') return false;
    }
    return true;
}

bool validHexDigest(std::string_view text) {
    if (text.size() != kHexDigestLength) return false;
    for (const char c : text) {
        if (!isDigit(c) && (c < 'a' || c > 'f')) return false;
    }
    return true;
}

}  // namespace

Result<std::int64_t> parseUtcTime(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS[.fraction]Z
    constexpr std::size_t kWholeSeconds = 19;
    if (text.size() < kWholeSeconds + 1) return std::unexpected(Error::InvalidFormat);
    if (text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != 't') || text[13] != ':' ||
        text[16] != ':')
        return std::unexpected(Error::InvalidFormat);
    const int year = digitsAt(text, 0, 4);
    const int month = digitsAt(text, 5, 2);
    const int day = digitsAt(text, 8, 2);
    const int hour = digitsAt(text, 11, 2);
    const int minute = digitsAt(text, 14, 2);
    const int second = digitsAt(text, 17, 2);
    if (year < kFirstYear || year > kLastYear || month < 1 || month > 12 || day < 1 ||
        day > daysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59)
        return std::unexpected(Error::InvalidFormat);
    std::string_view rest = text.substr(kWholeSeconds);
    if (rest.front() == '.') {
        std::size_t digits = 1;
        while (digits < rest.size() && isDigit(rest[digits])) ++digits;
        if (digits == 1) return std::unexpected(Error::InvalidFormat);
        rest.remove_prefix(digits);
    }
    if (rest != "Z" && rest != "z") return std::unexpected(Error::InvalidFormat);
    return daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

std::string formatUtcTime(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    const std::int64_t days = seconds / 86400;
    const std::int64_t of_day = seconds % 86400;
    // Howard Hinnant's civil-from-days.
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
    std::string out = "0000-00-00T00:00:00Z";
    const auto digits = [&out](std::size_t at, std::int64_t value, std::size_t count) {
        for (std::size_t i = count; i-- > 0;) {
            out[at + i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
    };
    digits(0, year, 4);
    digits(5, month, 2);
    digits(8, day, 2);
    digits(11, of_day / 3600, 2);
    digits(14, of_day / 60 % 60, 2);
    digits(17, of_day % 60, 2);
    return out;
}

Result<BundleMetadata> parseBundleMetadata(std::string_view text) {
    BundleMetadata metadata;
    std::array<bool, field_count> seen{};
    // A text without lines gives no fields; every field is then missing.
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);

        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return std::unexpected(Error::MetadataLineMalformed);
        const std::string_view key = line.substr(0, colon);
        for (const char c : key) {
            if (!(c >= 'a' && c <= 'z') && !isDigit(c) && c != '_' && c != '-')
                return std::unexpected(Error::MetadataLineMalformed);
        }
        unsigned field = field_count;
        for (unsigned i = 0; i < field_count; ++i) {
            if (kFieldNames[i] == key) field = i;
        }
        if (field == field_count) return std::unexpected(Error::MetadataLineUnknown);
        if (seen[field]) return std::unexpected(Error::MetadataLineDuplicate);
        seen[field] = true;

        const std::string_view rest = line.substr(colon + 1);
        if (rest.size() < 2 || rest.front() != ' ') return std::unexpected(Error::MetadataLineMalformed);
        const std::string_view value = rest.substr(1);
        switch (field) {
        case bundle_field:
            if (!validBundleName(value)) return std::unexpected(Error::MetadataLineMalformed);
            metadata.bundle = value;
            break;
        case serial_field: {
            const auto serial = decimal(value);
            if (!serial || *serial == 0) return std::unexpected(Error::MetadataLineMalformed);
            metadata.serial = *serial;
            break;
        }
        case expires_field: {
            const auto expires = parseUtcTime(value);
            if (!expires) return std::unexpected(Error::MetadataLineMalformed);
            metadata.expires = *expires;
            break;
        }
        case size_field: {
            const auto size = decimal(value);
            if (!size) return std::unexpected(Error::MetadataLineMalformed);
            metadata.size = *size;
            break;
        }
        case sha256_field:
            if (!validHexDigest(value)) return std::unexpected(Error::MetadataLineMalformed);
            metadata.sha256 = value;
            break;
        default: break;
        }
    }
    for (const bool present : seen) {
        if (!present) return std::unexpected(Error::MetadataLineMissing);
    }
    return metadata;
}

std::string formatBundleMetadata(const BundleMetadata& metadata) {
    std::string out;
    out.append("bundle: ").append(metadata.bundle).append("\n");
    out.append("serial: ").append(std::to_string(metadata.serial)).append("\n");
    out.append("expires: ").append(formatUtcTime(metadata.expires)).append("\n");
    out.append("size: ").append(std::to_string(metadata.size)).append("\n");
    out.append("sha256: ").append(metadata.sha256).append("\n");
    return out;
}

}  // namespace qs
