// The one UTF-8 reader of the core and the host text rules built on it.
#include "common/text.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

using namespace plexaro::text;

TEST(NextCodePoint, InvalidBytesReadAsEscapesOneByteAtATime) {
    struct Case {
        std::string bytes;
        Surrogates surrogates;
        std::u32string read;
    };
    const Case cases[] = {
        {"a\xC3\xA9", Surrogates::reject, U"a\u00E9"},
        {"\xF0\x9F\x99\x82", Surrogates::reject, U"\U0001F642"},
        {"\xFF"
         "a",
         Surrogates::reject,
         {0xDCFF, U'a'}},
        {"\xC0\xA0", Surrogates::reject, {0xDCC0, 0xDCA0}},  // overlong space
        {"\xE2\x82", Surrogates::reject, {0xDCE2, 0xDC82}},  // cut off
        {"\xED\xA0\x80", Surrogates::reject, {0xDCED, 0xDCA0, 0xDC80}},
        {"\xED\xA0\x80", Surrogates::pass, {0xD800}},  // the host's surrogatepass
        {"\xED\xB3\xBF", Surrogates::pass, {0xDCFF}},
        {"\xF4\x90\x80\x80", Surrogates::pass, {0xDCF4, 0xDC90, 0xDC80, 0xDC80}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(code_points_of(c.bytes, c.surrogates), c.read) << c.bytes;
        std::size_t pos = 0, steps = 0;
        while (pos < c.bytes.size()) next_code_point(c.bytes, pos, c.surrogates), ++steps;
        EXPECT_EQ(pos, c.bytes.size());
        EXPECT_EQ(steps, c.read.size());
    }
}

TEST(NextCodePoint, PassingSurrogatesChangesNothingElse) {
    for (unsigned lead = 0x80; lead <= 0xFF; ++lead)
        for (unsigned second = 0x80; second <= 0xBF; ++second) {
            std::string bytes = {char(lead), char(second), '\x80', '\x80'};
            std::u32string strict = code_points_of(bytes),
                           passing = code_points_of(bytes, Surrogates::pass);
            if (lead == 0xED && second >= 0xA0) {
                EXPECT_NE(strict, passing);
            } else {
                EXPECT_EQ(strict, passing) << std::hex << lead << " " << second;
            }
        }
}

TEST(HostText, LineBreaksAreExactlyThoseOfSplitlines) {
    const std::vector<char32_t> breaks = {0x0A, 0x0B, 0x0C, 0x0D,   0x1C,
                                          0x1D, 0x1E, 0x85, 0x2028, 0x2029};
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        bool expected = std::find(breaks.begin(), breaks.end(), cp) != breaks.end();
        ASSERT_EQ(is_line_break(cp), expected) << std::hex << (unsigned)cp;
        // Every line break is white space to the host as well.
        if (expected) {
            ASSERT_TRUE(is_unicode_space(cp));
        }
    }
}

TEST(HostText, SplitLinesAndStripLeaveInvalidBytesAndSurrogatesInPlace) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(split_lines("a\r\n\r\xC2\x85"
                          "b\xED\xA0\x80\n"),
              (V{"a", "", "", "b\xED\xA0\x80"}));
    EXPECT_EQ(split_lines("\xC0\x8A"
                          "x"),
              V{"\xC0\x8A"
                "x"});  // an overlong line feed is no break
    EXPECT_EQ(split_lines("\n"), V{""});
    EXPECT_EQ(strip_unicode_whitespace(" \xED\xB3\xBF \xC0\xA0"), "\xED\xB3\xBF \xC0\xA0");
    EXPECT_EQ(strip_unicode_whitespace("\xE2\x80\x80x\xE2"), "x\xE2");
}

namespace {

// The plain forward reading of str.strip()/rstrip(), to check the fast ones.
std::string_view forward_rstrip(std::string_view s) {
    std::size_t end = 0;
    for (std::size_t pos = 0; pos < s.size();)
        if (!is_unicode_space(next_code_point(s, pos, Surrogates::pass))) end = pos;
    return s.substr(0, end);
}

std::string_view forward_strip(std::string_view s) {
    std::size_t pos = 0, begin = 0;
    while (pos < s.size()) {
        begin = pos;
        if (!is_unicode_space(next_code_point(s, pos, Surrogates::pass))) break;
        begin = pos;
    }
    return forward_rstrip(s.substr(begin));
}

}  // namespace

TEST(HostText, StripFromBothEndsAgreesWithReadingForward) {
    // Pieces that make the backward walk's job hard: white space of every
    // length, continuation bytes that belong to nothing, cut-off sequences,
    // surrogates and overlong forms of white space.
    const std::string_view pieces[] = {" ",
                                       "\t",
                                       "\xC2\x85",
                                       "\xC2\xA0",
                                       "\xE3\x80\x80",
                                       "\xE2\x80\xA8",
                                       "x",
                                       "\xC3\xA9",
                                       "\x80",
                                       "\xBF\x80",
                                       "\xE3\x80",
                                       "\xF0\x9F\x99",
                                       "\xED\xA0\x80",
                                       "\xC0\xA0",
                                       "\xF0\x9F\x99\x82",
                                       "\xE2"};
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        for (unsigned n = next() % 7; n > 0; --n) s += pieces[next() % std::size(pieces)];
        ASSERT_EQ(rstrip_unicode_whitespace(s), forward_rstrip(s)) << s;
        ASSERT_EQ(strip_unicode_whitespace(s), forward_strip(s)) << s;
    }
}
