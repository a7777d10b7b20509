#include "common/files.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using namespace plexaro::files;
namespace fs = std::filesystem;

namespace {

using Scratch = plexaro_test::ScratchDir;

void touch(const std::string &path, std::time_t mtime = 0) {
    std::ofstream(path) << "x";
    if (mtime) {
        struct utimbuf times {
            mtime, mtime
        };
        ::utime(path.c_str(), &times);
    }
}

unsigned mode_of(const std::string &path) {
    struct stat st;
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

}  // namespace

TEST(TempName, RecognisesOnlyTheTemporariesOfOneTarget) {
    EXPECT_TRUE(is_temp_name_of(".mivo.lock.0123456789ab.tmp", "mivo.lock"));
    EXPECT_FALSE(is_temp_name_of(".mivo.lock.0123456789AB.tmp", "mivo.lock"));
    EXPECT_FALSE(is_temp_name_of(".mivo.lock.0123456789a.tmp", "mivo.lock"));
    EXPECT_FALSE(is_temp_name_of("mivo.lock.0123456789ab.tmp", "mivo.lock"));
    EXPECT_FALSE(is_temp_name_of(".mivo.toml.0123456789ab.tmp", "mivo.lock"));
    EXPECT_FALSE(is_temp_name_of(".mivo.lock.0123456789ab.tmpx", "mivo.lock"));
    EXPECT_FALSE(is_temp_name_of(".x.mivo.lock.0123456789ab.tmp", "mivo.lock"));
}

TEST(TempFile, IsUniqueBesideTheTargetWithTheUmaskApplied) {
    Scratch dir;
    mode_t old = ::umask(027);
    TempFile a = create_temp_beside(dir / "bwa.tar");
    TempFile b = create_temp_beside(dir / "bwa.tar");
    ::umask(old);
    ::close(a.fd);
    ::close(b.fd);
    EXPECT_NE(a.path, b.path);
    EXPECT_EQ(fs::path(a.path).parent_path(), fs::path(dir.path()));
    EXPECT_TRUE(is_temp_name_of(fs::path(a.path).filename().string(), "bwa.tar"));
    EXPECT_EQ(mode_of(a.path), 0640u);

    replace_into_place(a.path, dir / "bwa.tar");
    EXPECT_FALSE(fs::exists(a.path));
    EXPECT_TRUE(fs::exists(dir / "bwa.tar"));
    EXPECT_THROW(replace_into_place(dir / "gone", dir / "bwa.tar"), PathError);
}

TEST(TempFile, ALongTargetNameStillGivesAValidName) {
    Scratch dir;
    std::string target = dir / std::string(250, 'n');
    TempFile made = create_temp_beside(target);
    ::close(made.fd);
    EXPECT_TRUE(is_temp_name_of(fs::path(made.path).filename().string(), std::string(250, 'n')));
    EXPECT_EQ(remove_stale_temporaries(target).size(), 1u);
}

TEST(StaleTemporaries, AgeLimitSparesFilesStillBeingWritten) {
    Scratch dir;
    std::time_t old = std::time(nullptr) - 7200;
    touch(dir / ".bwa.tar.0123456789ab.tmp", old);
    touch(dir / ".bwa.tar.aaaaaaaaaaaa.tmp");
    touch(dir / ".other.tar.0123456789ab.tmp", old);
    auto removed = remove_stale_temporaries(dir / "bwa.tar", std::chrono::seconds(3600));
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0], dir / ".bwa.tar.0123456789ab.tmp");
    EXPECT_TRUE(fs::exists(dir / ".bwa.tar.aaaaaaaaaaaa.tmp"));

    remove_stale_temporaries(dir / "bwa.tar");  // no age limit: all of them
    EXPECT_FALSE(fs::exists(dir / ".bwa.tar.aaaaaaaaaaaa.tmp"));
    EXPECT_TRUE(fs::exists(dir / ".other.tar.0123456789ab.tmp"));
}

TEST(Lock, SameThreadMayNestAnotherThreadWaits) {
    Scratch dir;
    std::string path = dir / ".lock";
    std::atomic<bool> other_has_it{false};
    std::thread other;
    {
        ExclusiveFileLock outer(path);
        { ExclusiveFileLock inner(path); }  // no deadlock; still held after it
        other = std::thread([&] {
            ExclusiveFileLock mine(path);
            other_has_it = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(other_has_it);
    }
    other.join();
    EXPECT_TRUE(other_has_it);
}

TEST(Lock, RefusesALinkInItsPlace) {
    Scratch dir;
    fs::create_symlink(dir / "elsewhere", dir / ".lock");
    EXPECT_THROW(ExclusiveFileLock(dir / ".lock"), PathError);
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
}

TEST(PrivateDirectory, CreatedWithParentsAndMode0700) {
    Scratch dir;
    make_private_directory(dir / "a/b/mine");
    EXPECT_EQ(mode_of(dir / "a/b/mine"), 0700u);
    make_private_directory(dir / "a/b/mine");  // its own directory is accepted again
}

TEST(PrivateDirectory, RefusesOpenLinkedOrNonDirectory) {
    Scratch dir;
    fs::create_directory(dir / "open");
    ::chmod((dir / "open").c_str(), 0777);
    EXPECT_THROW(make_private_directory(dir / "open"), NotPrivateError);
    fs::create_directory(dir / "target");
    ::chmod((dir / "target").c_str(), 0700);
    fs::create_directory_symlink(dir / "target", dir / "link");
    EXPECT_THROW(make_private_directory(dir / "link"), NotPrivateError);
    touch(dir / "file");
    EXPECT_THROW(make_private_directory(dir / "file"), NotPrivateError);
}
