// The caps on what one archive may unpack: reached exactly is fine, one past
// stops the extraction before the entry that passes it is written.
#include "deploy/extract_archive.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <vector>

#include "support/archive.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

using test::dirEntry;
using test::fileEntry;
using test::makeTarGz;
using test::TempDir;

TEST(ExtractLimits, StopAtTheEntryThatPassesTheLimit) {
    // Four entries, 3 + 4 + 0 + 5 = 12 data bytes.
    const std::string archive = makeTarGz({fileEntry("a", "aaa"), fileEntry("b", "bbbb"),
                                           dirEntry("d/"), fileEntry("d/c", "ccccc")});
    struct Case {
        std::string_view name;
        ExtractLimits limits;
        std::optional<Error> error;
        std::vector<std::string> written;  // what the top level holds afterwards
    };
    const Case cases[] = {
        {"none", {}, std::nullopt, {"a", "b", "d"}},
        {"bytes reached exactly", {.max_unpacked_bytes = 12}, std::nullopt, {"a", "b", "d"}},
        {"bytes passed by the last file", {.max_unpacked_bytes = 11}, Error::ArchiveTooLarge,
         {"a", "b", "d"}},
        {"bytes passed by the second file", {.max_unpacked_bytes = 6}, Error::ArchiveTooLarge,
         {"a"}},
        {"no bytes at all", {.max_unpacked_bytes = 0}, Error::ArchiveTooLarge, {}},
        {"entries reached exactly", {.max_entries = 4}, std::nullopt, {"a", "b", "d"}},
        {"entries passed by the directory", {.max_entries = 2}, Error::ArchiveTooManyEntries,
         {"a", "b"}},
        {"both, entries first", {.max_unpacked_bytes = 6, .max_entries = 1},
         Error::ArchiveTooManyEntries, {"a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const ExtractResult result = extractArchive(archive, dir.str(), std::nullopt,
                                                    std::nullopt, c.limits);
        EXPECT_EQ(result.error, c.error);
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.written);
    }
}

}  // namespace
}  // namespace qs
