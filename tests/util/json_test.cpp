#include "util/json.hpp"

#include <gtest/gtest.h>

#include <string>

namespace qs {
namespace {

TEST(Json, StringsEscapeWhatRfc8259RequiresAndReplaceBrokenUtf8) {
    struct Case {
        std::string_view name;
        std::string bytes;
        std::string_view json;
    };
    const Case cases[] = {
        {"plain text stays", "site-1.0", R"("site-1.0")"},
        {"quote and backslash", R"(a"b\c)", R"("a\"b\\c")"},
        {"short escapes", "\n\r\t\b\f", R"("\n\r\t\b\f")"},
        {"other control bytes as \\u00XX", std::string("\x01\x1f\0", 3), R"("\u0001\u001f\u0000")"},
        {"DEL and slash need nothing", "\x7f/", "\"\x7f/\""},
        {"well-formed UTF-8 stays", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {"stray continuation byte", "a\x80z", R"("a\ufffdz")"},
        {"overlong encoding", "\xc0\xaf", R"("\ufffd\ufffd")"},
        {"encoded surrogate", "\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},
        {"sequence cut short at the end", "ok\xe2\x82", R"("ok\ufffd\ufffd")"},
        {"lead byte before ASCII", "\xe2z", R"("\ufffdz")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        appendJsonString(out, c.bytes);
        EXPECT_EQ(out, c.json);
    }
}

TEST(Json, FlatObjectsReadBack) {
    const auto object = parseFlatJsonObject(
        " {\"s\":\"a\\\"b\\u00e9\\ud83d\\ude00\\n\", \"n\" : -12, \"z\":null,\"t\":true} \n");
    ASSERT_TRUE(object);
    EXPECT_EQ(object->at("s"), "a\"b\xc3\xa9\xf0\x9f\x98\x80\n");
    EXPECT_EQ(object->at("n"), "-12");
    EXPECT_EQ(object->at("z"), std::nullopt);
    EXPECT_EQ(object->at("t"), "true");

    for (std::string_view broken : {"", "{", "{\"a\":1", "{\"a\":1,}", "{\"a\":[1]}", "{\"a\":{}}",
                                    "{\"a\":\"x}", "{\"a\":1} x", "{\"a\":\"\x01\"}", "{\"a\":\"\\q\"}",
                                    "{a:1}", "{\"a\":-}"}) {
        SCOPED_TRACE(broken);
        EXPECT_FALSE(parseFlatJsonObject(broken));
    }
}

}  // namespace
}  // namespace qs
