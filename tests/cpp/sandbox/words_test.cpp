#include "sandbox/words.hpp"

#include <gtest/gtest.h>

using plexaro::sandbox::split_words;
using plexaro::sandbox::SplitError;
using Words = std::vector<std::string>;

TEST(SplitWords, SeparatesOnTheFourWhiteSpaceCharactersOnly) {
    EXPECT_EQ(split_words(" a\tb\r\nc  "), (Words{"a", "b", "c"}));
    // Vertical tab, form feed and no-break space belong to words.
    EXPECT_EQ(split_words("a\vb\fc d\xC2\xA0"
                          "e"),
              (Words{"a\vb\fc",
                     "d\xC2\xA0"
                     "e"}));
    EXPECT_EQ(split_words(""), Words{});
    EXPECT_EQ(split_words(" \t\n"), Words{});
}

TEST(SplitWords, QuotesGroupAndJoinAdjacentText) {
    EXPECT_EQ(split_words("'a b'c \"d e\"f"), (Words{"a bc", "d ef"}));
    EXPECT_EQ(split_words("'' \"\" x''"), (Words{"", "", "x"}));
    EXPECT_EQ(split_words("'a\\b' \"it's\""), (Words{"a\\b", "it's"}));
}

TEST(SplitWords, BackslashRules) {
    // Outside quotes any character is escaped, white space included.
    EXPECT_EQ(split_words("a\\ b \\'x\\\" \\\\"), (Words{"a b", "'x\"", "\\"}));
    // Inside double quotes only the quote and the backslash are escapable.
    EXPECT_EQ(split_words("\"a\\\"b\\\\c\\nd\""), (Words{"a\"b\\c\\nd"}));
    // An escaped multi-byte character stays whole.
    EXPECT_EQ(split_words("\\\xC3\xA9t\xC3\xA9 \"\\\xC3\xA9\""),
              (Words{"\xC3\xA9t\xC3\xA9", "\\\xC3\xA9"}));
    EXPECT_EQ(split_words("\\\n"), (Words{"\n"}));
}

TEST(SplitWords, HashIsAnOrdinaryCharacter) {
    EXPECT_EQ(split_words("a #b c#d"), (Words{"a", "#b", "c#d"}));
}

TEST(SplitWords, ErrorsCarryTheHostMessages) {
    auto message = [](const char *text) {
        try {
            split_words(text);
        } catch (const SplitError &e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message("a 'b"), "No closing quotation");
    EXPECT_EQ(message("\"a"), "No closing quotation");
    EXPECT_EQ(message("a\\"), "No escaped character");
    EXPECT_EQ(message("\"a\\"), "No escaped character");
    EXPECT_EQ(message("'a\\"), "No closing quotation");
}
