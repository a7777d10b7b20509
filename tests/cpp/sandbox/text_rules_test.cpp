#include "sandbox/glob.hpp"
#include "sandbox/paths.hpp"
#include "sandbox/reply.hpp"

#include <gtest/gtest.h>

#include <type_traits>
#include <utility>

namespace sb = plexaro::sandbox;

TEST(Reply, StripUsesUnicodeWhiteSpace) {
    EXPECT_EQ(sb::strip("\xE3\x80\x80\x1c a b\xC2\x85\t"), "a b");
    EXPECT_EQ(sb::strip("\xC2\xA0"), "");
    EXPECT_EQ(sb::strip("x\xE2\x80\x8B"), "x\xE2\x80\x8B");  // zero-width space is not white space
    EXPECT_TRUE(sb::is_blank(" \n\t "));
    EXPECT_FALSE(sb::is_blank(" . "));
}

TEST(Reply, CleanRemovesOneBacktickRunAtEachEnd) {
    EXPECT_EQ(sb::clean_reply("```bash\n-i a.fq -o out\n```\n"), "bash\n-i a.fq -o out");
    EXPECT_EQ(sb::clean_reply(" `-x 1` "), "-x 1");
    EXPECT_EQ(sb::clean_reply("-x `y` z"), "-x `y` z");
    EXPECT_EQ(sb::clean_reply("``` "), "");
    EXPECT_EQ(sb::clean_reply("` ` x"), "` x");
}

TEST(Reply, StrippedLinesUseTheHostLineBoundaries) {
    using L = std::vector<std::string>;
    EXPECT_EQ(sb::stripped_lines("  /a/b \r\n\n\r/c\x0b/d\xE2\x80\xA8/e\x1e  "),
              (L{"/a/b", "/c", "/d", "/e"}));
    EXPECT_EQ(sb::stripped_lines(""), L{});
}

TEST(Paths, SpelledLikePathlib) {
    EXPECT_EQ(sb::path_join({"out/", "x"}), "out/x");
    EXPECT_EQ(sb::path_join({"./out//./a/", "b"}), "out/a/b");
    EXPECT_EQ(sb::path_join({"", "x"}), "x");
    EXPECT_EQ(sb::path_join({""}), ".");
    EXPECT_EQ(sb::path_join({"//srv", "x"}), "//srv/x");
    EXPECT_EQ(sb::path_join({"///srv", "x"}), "/srv/x");
    EXPECT_EQ(sb::path_join({"a", "/abs", "b"}), "/abs/b");
    EXPECT_EQ(sb::path_join({"a/../b"}), "a/../b");
    EXPECT_EQ(sb::path_name("dir/"), "dir");
    EXPECT_EQ(sb::path_name("a/."), "a");
    EXPECT_EQ(sb::path_name("/"), "");
    EXPECT_EQ(sb::path_name("a/.."), "..");
    EXPECT_TRUE(sb::leaves_directory("/etc/x"));
    EXPECT_TRUE(sb::leaves_directory("a/../../x"));
    EXPECT_FALSE(sb::leaves_directory("a/b"));
    EXPECT_FALSE(sb::leaves_directory("..x"));
}

TEST(Fnmatch, HostPatternRules) {
    EXPECT_TRUE(sb::fnmatch("out.txt", "out*"));
    EXPECT_TRUE(sb::fnmatch("outliers", "out*"));
    EXPECT_FALSE(sb::fnmatch("Out", "out*"));
    EXPECT_TRUE(sb::fnmatch("a\nb", "a*"));
    EXPECT_TRUE(sb::fnmatch("\xC3\xA9x", "?x"));  // one character, two bytes
    EXPECT_TRUE(sb::fnmatch("b1", "[abc]*"));
    EXPECT_FALSE(sb::fnmatch("d1", "[abc]*"));
    EXPECT_TRUE(sb::fnmatch("d1", "[!abc]*"));
    EXPECT_TRUE(sb::fnmatch("[x", "[x*"));  // unclosed bracket is literal
    EXPECT_TRUE(sb::fnmatch("]", "[]]"));
    EXPECT_TRUE(sb::fnmatch("-", "[a-]"));
    EXPECT_TRUE(sb::fnmatch("c", "[a-c]"));
    EXPECT_FALSE(sb::fnmatch("c", "[c-a]"));   // empty range never matches
    EXPECT_TRUE(sb::fnmatch("q", "[!c-a]"));   // negated empty range matches anything
    EXPECT_TRUE(sb::fnmatch("-", "[a-b-c]"));  // a-b, '-', c
    EXPECT_TRUE(sb::fnmatch("c", "[a-b-c]"));
    EXPECT_FALSE(sb::fnmatch("bb", "[a-b-c]"));
    EXPECT_TRUE(sb::fnmatch("\\", "[\\]"));
    EXPECT_TRUE(sb::fnmatch("&", "[&]"));
    EXPECT_TRUE(sb::fnmatch("z", "[!-a]"));
    EXPECT_FALSE(sb::fnmatch("-", "[!-a]"));
    EXPECT_TRUE(sb::fnmatch("^", "[^]"));
}

TEST(NamePattern, PrefixAndWildcardFormsAgreeWithFnmatch) {
    for (const char *pattern : {"out*", "out**", "o[12]*", "r?*", ".h*", "*", "a-b*"}) {
        sb::NamePattern p(pattern);
        for (const char *name :
             {"out", "outliers", "o1x", "o3", "rx", "r", ".hidden", ".out", "a-b", "\xC3\xA9"}) {
            bool hidden = name[0] == '.' && pattern[0] != '.';
            EXPECT_EQ(p.matches(name), !hidden && sb::fnmatch(name, pattern))
                << pattern << " " << name;
        }
    }
}

// A pattern owns its compiled form: it can be moved, never copied (a copy
// would share the compiled form and free it twice).
static_assert(!std::is_copy_constructible_v<sb::NamePattern>);
static_assert(!std::is_copy_assignable_v<sb::NamePattern>);
static_assert(std::is_nothrow_move_assignable_v<sb::NamePattern>);

TEST(NamePattern, AMovedPatternKeepsMatching) {
    sb::NamePattern wild("a[bc]*"), plain("pre*");
    sb::NamePattern moved(std::move(wild));
    EXPECT_TRUE(moved.matches("abz"));
    EXPECT_FALSE(moved.matches("adz"));
    moved = std::move(plain);  // the compiled form it held is released once
    EXPECT_TRUE(moved.matches("prefix"));
    EXPECT_FALSE(moved.matches("abz"));
}
