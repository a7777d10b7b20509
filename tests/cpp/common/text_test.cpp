#include "common/text.hpp"

#include <gtest/gtest.h>

using namespace plexaro::text;

TEST(Text, CodePointsCountMultiByteCharactersOnce) {
    EXPECT_EQ(code_points(""), 0u);
    EXPECT_EQ(code_points("abc"), 3u);
    EXPECT_EQ(code_points("\xC3\xA9t\xC3\xA9"), 3u);  // été
    EXPECT_EQ(code_points("\xF0\x9F\x99\x82x"), 2u);  // emoji + x
}

TEST(Text, CutNeverSplitsACodePoint) {
    EXPECT_EQ(cut_code_points("\xC3\xA9t\xC3\xA9", 2), "\xC3\xA9t");
    EXPECT_EQ(cut_code_points("\xF0\x9F\x99\x82x", 1), "\xF0\x9F\x99\x82");
    EXPECT_EQ(cut_code_points("abc", 0), "");
    EXPECT_EQ(cut_code_points("abc", 10), "abc");
}

TEST(Text, JoinAndAffixes) {
    EXPECT_EQ(join({"a", "b", "c"}, " "), "a b c");
    EXPECT_EQ(join({}, ", "), "");
    EXPECT_TRUE(starts_with("mivo_x", "mivo_"));
    EXPECT_FALSE(starts_with("mi", "mivo_"));
    EXPECT_TRUE(ends_with("a.tar", ".tar"));
    EXPECT_FALSE(ends_with("tar", ".tar"));
}
