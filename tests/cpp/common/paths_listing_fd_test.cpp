// Path joining, the directory listing and the descriptor owner of common/.
#include "common/listing.hpp"
#include "common/path.hpp"
#include "common/unique_fd.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <type_traits>

#include <dirent.h>
#include <fcntl.h>

using namespace plexaro::files;
namespace fs = std::filesystem;

TEST(JoinPath, SpelledLikeTheHostsOsPathJoin) {
    EXPECT_EQ(join_path("/w/o", "x"), "/w/o/x");
    EXPECT_EQ(join_path("/w/o/", "x"), "/w/o/x");
    EXPECT_EQ(join_path("", "x"), "x");
    EXPECT_EQ(join_path("a", "/abs"), "/abs");
    EXPECT_EQ(join_path("a", ""), "a/");
    EXPECT_EQ(join_path("./a//", "b/../c"), "./a//b/../c");  // nothing is normalised
}

TEST(ParentDirectory, WhatPrecedesTheLastSlash) {
    EXPECT_EQ(parent_directory("/w/o/x"), "/w/o");
    EXPECT_EQ(parent_directory("/x"), "/");
    EXPECT_EQ(parent_directory("x"), ".");
    EXPECT_EQ(parent_directory("a/b/"), "a/b");
}

namespace {
using Scratch = plexaro_test::ScratchDir;
}  // namespace

TEST(ListDirectory, EntriesWithTheirTypesWithoutDotEntries) {
    Scratch dir;
    std::ofstream(dir.path() + "/file") << "x";
    fs::create_directory(dir.path() + "/sub");
    fs::create_symlink("file", dir.path() + "/link");
    for (bool by_fd : {false, true}) {
        std::vector<DirEntry> entries{{"stale", DT_REG}};
        int error =
            by_fd ? list_directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY), entries)
                  : list_directory(dir.path(), entries);
        ASSERT_EQ(error, 0);
        std::sort(entries.begin(), entries.end(), [](auto &a, auto &b) { return a.name < b.name; });
        ASSERT_EQ(entries.size(), 3u);
        EXPECT_EQ(entries[0].name, "file");
        EXPECT_EQ(entries[1].name, "link");
        EXPECT_EQ(entries[2].name, "sub");
        // A file system may leave the type unknown; when it tells, it is right.
        EXPECT_TRUE(entries[0].type == DT_REG || entries[0].type == DT_UNKNOWN);
        EXPECT_TRUE(entries[1].type == DT_LNK || entries[1].type == DT_UNKNOWN);
        EXPECT_TRUE(entries[2].type == DT_DIR || entries[2].type == DT_UNKNOWN);
    }
}

TEST(ListDirectory, FailuresGiveTheirErrorAndNoEntries) {
    Scratch dir;
    std::ofstream(dir.path() + "/file") << "x";
    std::vector<DirEntry> entries{{"stale", DT_REG}};
    EXPECT_EQ(list_directory(dir.path() + "/missing", entries), ENOENT);
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(list_directory(dir.path() + "/file", entries), ENOTDIR);
    EXPECT_EQ(list_directory(-1, entries), EBADF);
    EXPECT_TRUE(entries.empty());
}

static_assert(!std::is_copy_constructible_v<UniqueFd>);
static_assert(!std::is_copy_assignable_v<UniqueFd>);
static_assert(std::is_nothrow_move_assignable_v<UniqueFd>);

namespace {
bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }
}  // namespace

TEST(UniqueFd, ClosesExactlyOnceWhateverHappensToIt) {
    int a = ::open("/dev/null", O_RDONLY | O_CLOEXEC),
        b = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    {
        UniqueFd first(a), second(b);
        first = std::move(second);  // a is closed, b now owned by `first`
        EXPECT_FALSE(is_open(a));
        EXPECT_EQ(first.get(), b);
        EXPECT_FALSE(second.valid());
        UniqueFd third(std::move(first));
        EXPECT_EQ(third.get(), b);
    }
    EXPECT_FALSE(is_open(b));

    int c = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    UniqueFd owner(c);
    EXPECT_EQ(owner.release(), c);
    EXPECT_TRUE(owner.close());  // nothing held: nothing to fail
    EXPECT_TRUE(is_open(c));
    owner.reset(c);
    EXPECT_TRUE(owner.close());
    EXPECT_FALSE(is_open(c));
    EXPECT_FALSE(owner.valid());
}
