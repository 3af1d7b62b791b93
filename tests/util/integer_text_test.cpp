#include "util/integer_text.hpp"

#include <gtest/gtest.h>

namespace qs {
namespace {

struct Case {
    std::string_view text;
    unsigned radix;
    IntegerWidth width;
    Result<std::uint64_t> expected;
};

const Case kCases[] = {
    {"0", 10, IntegerWidth::bits32, 0},
    {"300", 10, IntegerWidth::bits32, 300},
    {"+42", 10, IntegerWidth::bits32, 42},
    {"1_000", 10, IntegerWidth::bits32, 1000},
    {"9_00", 10, IntegerWidth::bits32, 900},
    {"0644", 8, IntegerWidth::bits32, 420},
    {"755", 8, IntegerWidth::bits32, 493},
    {"4294967295", 10, IntegerWidth::bits32, 4294967295u},
    {"18446744073709551615", 10, IntegerWidth::bits64, 18446744073709551615u},
    {"-0", 10, IntegerWidth::bits32, 0},
    {"-0_0", 8, IntegerWidth::bits32, 0},
    // Faults: every one of these must be refused, never read as a number.
    {"", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"+", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"-", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"-1", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"_1", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"1_", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"1__0", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"8", 8, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"0o755", 8, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"0x10", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"10s", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"1 0", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {" 1", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"+-1", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"4294967296", 10, IntegerWidth::bits32, std::unexpected(Error::Overflow)},
    {"40000000000", 8, IntegerWidth::bits32, std::unexpected(Error::Overflow)},
    {"18446744073709551616", 10, IntegerWidth::bits64, std::unexpected(Error::Overflow)},
    {"-4294967296", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
    {"99999999999x", 10, IntegerWidth::bits32, std::unexpected(Error::InvalidCharacter)},
};

TEST(ParseUnsigned, Table) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.text) + " radix " + std::to_string(c.radix));
        const auto got = parseUnsigned(c.text, c.radix, c.width);
        ASSERT_EQ(got.has_value(), c.expected.has_value());
        if (got) {
            EXPECT_EQ(*got, *c.expected);
        } else {
            EXPECT_EQ(errorName(got.error()), errorName(c.expected.error()));
        }
    }
}

}  // namespace
}  // namespace qs
