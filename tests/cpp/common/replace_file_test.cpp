// files::replace_file: the core's one in-memory atomic rewrite.
#include "common/files.hpp"
#include "common/listing.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

using namespace plexaro::files;
namespace fs = std::filesystem;

namespace {

using Scratch = plexaro_test::ScratchDir;

std::string read(const std::string &path) {
    std::ostringstream out;
    out << std::ifstream(path).rdbuf();
    return out.str();
}

unsigned mode_of(const std::string &path) {
    struct stat st;
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

std::size_t entries_in(const std::string &dir) {
    std::vector<DirEntry> entries;
    list_directory(dir, entries);
    return entries.size();
}

}  // namespace

TEST(ReplaceFile, WritesTheBytesWithTheModeAskedOrKept) {
    Scratch dir;
    std::string target = dir / "connectors.py";
    FileIdentity made =
        replace_file(target, "first\n", {.mode = 0640, .keep_mode = true});  // nothing to keep yet
    EXPECT_EQ(read(target), "first\n");
    EXPECT_EQ(mode_of(target), 0640u);
    EXPECT_EQ(made.size, 6u);

    ::chmod(target.c_str(), 0604);
    FileIdentity again =
        replace_file(target, std::string("a\0b", 3), {.mode = 0644, .keep_mode = true});
    EXPECT_EQ(read(target), std::string("a\0b", 3));
    EXPECT_EQ(mode_of(target), 0604u);
    EXPECT_NE(again.inode, made.inode);  // a new file renamed over the old one
    struct stat st;
    ::stat(target.c_str(), &st);
    EXPECT_EQ(again.inode, (std::uint64_t)st.st_ino);
    EXPECT_EQ(again.mtime_ns, (std::int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec);

    replace_file(target, "", {.mode = 0600});
    EXPECT_EQ(read(target), "");
    EXPECT_EQ(mode_of(target), 0600u);
    EXPECT_EQ(entries_in(dir.path()), 1u);  // no temporary left beside it

    // No mode asked: what a plain open() gives, the umask applied.
    mode_t umask_before = ::umask(027);
    ReplaceOptions unsynced;
    unsynced.sync = false;
    replace_file(dir / "plain", "x", unsynced);
    ::umask(umask_before);
    EXPECT_EQ(mode_of(dir / "plain"), 0640u);
    EXPECT_EQ(read(dir / "plain"), "x");
}

TEST(ReplaceFile, RefusesALinkAndLeavesNothingBehindOnFailure) {
    Scratch dir;
    std::string victim = dir / "victim", link = dir / "connectors.py";
    std::ofstream(victim) << "theirs";
    fs::create_symlink(victim, link);
    try {
        replace_file(link, "mine", {.mode = 0644, .keep_mode = true});
        FAIL() << "a link was replaced";
    } catch (const PathError &e) {
        EXPECT_EQ(e.code().value(), ELOOP);
        EXPECT_EQ(e.path(), link);
    }
    EXPECT_EQ(read(victim), "theirs");
    EXPECT_TRUE(fs::is_symlink(link));

    // A directory in the target's place: the rename fails, the temporary goes.
    fs::create_directory(dir / "taken");
    std::ofstream(dir / "taken/x") << "x";
    EXPECT_THROW(replace_file(dir / "taken", "data"), PathError);
    EXPECT_EQ(entries_in(dir.path()), 3u);
    EXPECT_THROW(replace_file(dir / "missing/x", "data"), PathError);
}

TEST(RandomHex, GivesFreshLowerCaseDigits) {
    std::string a = random_hex(8), b = random_hex(8);
    EXPECT_EQ(a.size(), 16u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(a, b);
}
