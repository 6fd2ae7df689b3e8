#include "text/utf16.hpp"

#include <gtest/gtest.h>

namespace {

struct to_utf8_case {
    const char* name;
    std::u16string input;
    std::string expected;
};

TEST(Utf16, ToUtf8KeepsValidTextAndDropsOnlyUnpairedSurrogates)
{
    // clang-format off
    const to_utf8_case cases[] = {
        {"ascii", u"--build x86r", "--build x86r"},
        {"cyrillic", u"\u0418\u0433\u0440\u0430", "\xD0\x98\xD0\xB3\xD1\x80\xD0\xB0"},
        {"surrogate pair", u"\xD83C\xDFAE", "\xF0\x9F\x8E\xAE"},
        {"last code point, U+10FFFF", u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
        {"lone low surrogate", u"a\xDC00" u"b", "ab"},
        {"high surrogate at the end", u"ab\xD800", "ab"},
        {"high surrogate before a blank", u"a\xD800 b", "a b"},
        {"high surrogate before a quote", u"\xD800\"x y\"", "\"x y\""},
        {"high surrogate before a pair", u"\xD800\xD83C\xDFAE!", "\xF0\x9F\x8E\xAE!"},
        {"reversed pair", u"\xDFAE\xD83C", ""},
        {"empty", u"", ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(launcher::to_utf8(c.input), c.expected);
    }
}

TEST(Utf16, PathsKeepEveryUnit)
{
    const std::u16string paths[] = {u"C:\\Q\xD800\\x", u"\xDC00", u"\xDFAE\xD83C",
                                    u"\xD800\xD83C\xDFAE!", u"\xDBFF\xDFFF"};
    for (const auto& path : paths) {
        SCOPED_TRACE(launcher::to_utf8(path));
        EXPECT_EQ(launcher::path_to_utf16(launcher::path_to_utf8(path)), path);
    }
    EXPECT_EQ(launcher::path_to_utf8(u"\xDBFF\xDFFF"), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(launcher::path_to_utf8(u"Q\xD800/\xDFFF\xD83C\xDFAE"),
              "Q\xED\xA0\x80/\xED\xBF\xBF\xF0\x9F\x8E\xAE");
}

TEST(Utf16, ToUtf16DropsInvalidSequences)
{
    EXPECT_EQ(launcher::to_utf16("a\xFF"
                                 "b"),
              u"ab");
    EXPECT_EQ(launcher::to_utf16("\xF0\x9F\x8E\xAE"), u"\xD83C\xDFAE");
    EXPECT_EQ(launcher::to_utf16("\xF4\x8F\xBF\xBF"), u"\xDBFF\xDFFF");
    EXPECT_EQ(launcher::to_utf16("C:/\xD0\x98\xD0\xB3\xD1\x80\xD0\xB0"),
              u"C:/\u0418\u0433\u0440\u0430");
}

} // namespace
