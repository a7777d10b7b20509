#include "common/text.hpp"

#include <gtest/gtest.h>

#include <set>

using namespace plexaro::text;

TEST(Utf8, StrictDecodingFollowsTheHostsCodec) {
    struct Case {
        const char *bytes;
        Utf8Status status;
        char32_t cp;
    };
    const Case cases[] = {
        {"A", Utf8Status::ok, U'A'},
        {"\xC3\xA9", Utf8Status::ok, 0xE9},
        {"\xE2\x82\xAC", Utf8Status::ok, 0x20AC},
        {"\xF0\x9F\x99\x82", Utf8Status::ok, 0x1F642},
        {"\xF4\x8F\xBF\xBF", Utf8Status::ok, 0x10FFFF},
        {"\xC0\xAF", Utf8Status::invalid, 0},          // overlong '/'
        {"\xE0\x80\xAF", Utf8Status::invalid, 0},      // overlong
        {"\xED\xA0\x80", Utf8Status::invalid, 0},      // surrogate D800
        {"\xF4\x90\x80\x80", Utf8Status::invalid, 0},  // above U+10FFFF
        {"\xFF", Utf8Status::invalid, 0},
        {"\x80", Utf8Status::invalid, 0},
        {"\xE2\x82", Utf8Status::truncated, 0},
        {"\xE2\x28\xA1", Utf8Status::invalid, 0},
    };
    for (const Case &c : cases) {
        char32_t cp = 0;
        std::size_t length = 0;
        std::string_view text(c.bytes);
        EXPECT_EQ(decode_utf8(text, 0, cp, length), c.status) << text;
        if (c.status == Utf8Status::ok) {
            EXPECT_EQ(cp, c.cp);
            EXPECT_EQ(length, text.size());
        }
    }
    EXPECT_TRUE(valid_utf8("plain \xC3\xA9t\xC3\xA9"));
    EXPECT_FALSE(valid_utf8("cut \xE2\x82"));
}

TEST(Utf8, WhiteSpaceIsExactlyTheHostsSet) {
    // Every code point for which the host's str.isspace() is true.
    const std::set<char32_t> host = {0x9,    0xA,    0xB,    0xC,    0xD,    0x1C,   0x1D,   0x1E,
                                     0x1F,   0x20,   0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002,
                                     0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A,
                                     0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp)
        ASSERT_EQ(is_unicode_space(cp), host.count(cp) == 1) << std::hex << (unsigned)cp;
}

TEST(Utf8, StripRemovesUnicodeSpaceAtBothEndsOnly) {
    EXPECT_EQ(strip_unicode_whitespace("  a b \n"), "a b");
    EXPECT_EQ(strip_unicode_whitespace("\xE3\x80\x80x\xC2\xA0y\xE2\x80\xA8"), "x\xC2\xA0y");
    EXPECT_EQ(strip_unicode_whitespace("\x1Cz\x1F"), "z");
    EXPECT_EQ(strip_unicode_whitespace(" \t\r\n"), "");
    EXPECT_EQ(strip_unicode_whitespace(""), "");
    // Zero-width space and BOM are not white space to the host.
    EXPECT_EQ(strip_unicode_whitespace("\xE2\x80\x8Bq\xEF\xBB\xBF"), "\xE2\x80\x8Bq\xEF\xBB\xBF");
    // A stray byte is kept as content.
    EXPECT_EQ(strip_unicode_whitespace(" \xFF "), "\xFF");
}
