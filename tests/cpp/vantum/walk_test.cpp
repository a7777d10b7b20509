#include "vantum/walk.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

using namespace plexaro::vantum;
using TempDir = plexaro_test::ScratchDir;
using Paths = std::vector<std::string>;

TEST(Walk, ListsEveryFileInSubdirectoriesInPathOrder) {
    TempDir t;
    t.write("x.txt", "hello\n");
    t.write("sub/y.csv", "a,b\n");
    t.write("sub/deeper/z", "");
    t.write("sub.txt", "");
    mkdir((t / "empty").c_str(), 0755);
    // "sub.txt" before "sub/..." because '.' < '/'.
    EXPECT_EQ(list_files(t.path(), 30), (Paths{"sub.txt", "sub/deeper/z", "sub/y.csv", "x.txt"}));
}

TEST(Walk, KeepsOnlyTheFirstFilesOfALargeTree) {
    TempDir t;
    for (int i = 0; i < 45; ++i) t.write((i % 2 ? "b/f" : "a/f") + std::to_string(100 + i), "");
    Paths kept = list_files(t.path(), 30);
    ASSERT_EQ(kept.size(), 30u);
    EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end()));
    EXPECT_EQ(kept.front(), "a/f100");
    EXPECT_EQ(kept[22], "a/f144");  // all 23 in a/ come first
    EXPECT_EQ(kept.back(), "b/f113");
}

TEST(Walk, LinksToDirectoriesAreNeitherListedNorEntered) {
    TempDir t, other;
    other.write("inside.txt", "x");
    t.write("real.txt", "x");
    ASSERT_EQ(symlink(other.path().c_str(), (t / "link_dir").c_str()), 0);
    ASSERT_EQ(symlink((t / "real.txt").c_str(), (t / "link_file").c_str()), 0);
    ASSERT_EQ(symlink((t / "gone").c_str(), (t / "dangling").c_str()), 0);
    EXPECT_EQ(list_files(t.path(), 30), (Paths{"dangling", "link_file", "real.txt"}));
}

TEST(Walk, MissingOrNonDirectoryTopGivesNothing) {
    TempDir t;
    std::string file = t.write("f", "x");
    EXPECT_TRUE(list_files(t / "missing", 30).empty());
    EXPECT_TRUE(list_files(file, 30).empty());
}

TEST(Walk, UnreadableDirectoriesAreLeftOutSilently) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    TempDir t;
    t.write("ok.txt", "x");
    t.write("locked/hidden.txt", "x");
    chmod((t / "locked").c_str(), 0);
    EXPECT_EQ(list_files(t.path(), 30), (Paths{"ok.txt"}));
    chmod((t / "locked").c_str(), 0755);
}

TEST(Walk, OrderIsTheHostsStringOrderNotByteOrder) {
    // \xC3 alone is undecodable and becomes U+DCC3 to the host, which sorts
    // after U+00E9 ("\xC3\xA9") and after U+E000 ("\xEE\x80\x80") too.
    EXPECT_TRUE(host_order_less("\xC3\xA9", "\xC3"));
    EXPECT_TRUE(host_order_less("\xC3\xA9", "\xC3z"));
    EXPECT_FALSE(host_order_less("\xC3z", "\xC3\xA9"));
    EXPECT_TRUE(host_order_less("\xC3", "\xEE\x80\x80"));
    EXPECT_TRUE(host_order_less("a", "ab"));
    EXPECT_FALSE(host_order_less("ab", "ab"));
    EXPECT_TRUE(host_order_less("B", "a"));
}

TEST(Walk, UndecodableNamesSortWhereTheHostPutsThem) {
    TempDir t;
    t.write("\xC3", "");
    t.write("\xC3\xA9", "");
    t.write("\xEF\xBC\xA1", "");  // U+FF21, above the escaped U+DCC3
    EXPECT_EQ(list_files(t.path(), 30), (Paths{"\xC3\xA9", "\xC3", "\xEF\xBC\xA1"}));
}

TEST(Walk, JoinAddsASeparatorOnlyWhenNeeded) {
    EXPECT_EQ(join_path("/w/o", "x"), "/w/o/x");
    EXPECT_EQ(join_path("/w/o/", "x"), "/w/o/x");
    EXPECT_EQ(join_path("/", "x"), "/x");
    EXPECT_EQ(join_path("", "x"), "x");
}
