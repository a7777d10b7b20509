#include "sandbox/fsops.hpp"
#include "sandbox/glob.hpp"
#include "sandbox/staging.hpp"
#include "sandbox/step_plan.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sb = plexaro::sandbox;

namespace {

class FsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sandbox_fs_test_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root = tmpl;
    }
    void TearDown() override { sb::remove_tree(root); }

    std::string path(const std::string &rel) const { return root + "/" + rel; }
    void write(const std::string &rel, const std::string &text) const {
        plexaro_test::write_file(path(rel), text);
    }
    std::string read(const std::string &rel) const { return plexaro_test::read_file(path(rel)); }
    std::string root;
};

}  // namespace

TEST_F(FsTest, CopyKeepsModeAndTimesAndFollowsLinks) {
    write("src.txt", std::string(3 << 20, 'q'));  // large enough for the kernel paths
    ASSERT_EQ(::chmod(path("src.txt").c_str(), 0751), 0);
    struct timespec times[2] = {{1000000, 5}, {2000000, 7}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path("src.txt").c_str(), times, 0), 0);
    ASSERT_EQ(::symlink(path("src.txt").c_str(), path("link").c_str()), 0);

    sb::copy_file(path("link"), path("copy"));
    struct stat st;
    ASSERT_EQ(::lstat(path("copy").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 7);
    EXPECT_EQ(read("copy"), read("src.txt"));

    // Replacing an existing larger file truncates it.
    write("small", "ab");
    sb::copy_file(path("small"), path("copy"));
    EXPECT_EQ(read("copy"), "ab");
}

TEST_F(FsTest, CopyOntoItselfIsRefusedAndLosesNothing) {
    write("f", "data");
    try {
        sb::copy_file(path("f"), path("f"));
        FAIL() << "no error";
    } catch (const sb::FsError &e) {
        EXPECT_EQ(e.kind, sb::FsError::Kind::same_file);
    }
    EXPECT_EQ(read("f"), "data");
    try {
        sb::copy_file(path("missing"), path("g"));
        FAIL() << "no error";
    } catch (const sb::FsError &e) {
        EXPECT_EQ(e.err, ENOENT);
        EXPECT_EQ(e.path, path("missing"));
    }
}

TEST_F(FsTest, OpenDirIsWorldWritableWhateverTheUmask) {
    mode_t old = ::umask(077);
    sb::make_open_dir(path("a/b/sandbox"));
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat(path("a/b/sandbox").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    write("file", "x");
    EXPECT_THROW(sb::make_dirs(path("file")), sb::FsError);
    EXPECT_NO_THROW(sb::make_dirs(path("a/b")));
}

TEST_F(FsTest, StagingGivesEveryInputItsOwnName) {
    for (const char *d : {"s1", "s2", "s3", "sb"}) ::mkdir(path(d).c_str(), 0755);
    write("s1/reads.fq", "one");
    write("s2/reads.fq", "two");
    write("s3/reads.fq", "three");
    write("sb/fq_reads.fq", "other");
    ::mkdir(path("box").c_str(), 0755);
    sb::StepRequest q;
    q.inputs = {{"x", "x", sb::PlanInput::Kind::path, {path("sb/fq_reads.fq")}, "", {}},
                {"fq",
                 "fq",
                 sb::PlanInput::Kind::paths,
                 {path("s1/reads.fq"), path("s2/reads.fq"), path("s3/reads.fq")},
                 "",
                 {}}};
    q.taken = {"mivo.toml"};
    sb::StepPlan plan = sb::plan_step(q);
    sb::stage(path("box"), plan);
    ASSERT_EQ(plan.staged.size(), 2u);
    // fq_reads.fq was taken by the first input.
    EXPECT_EQ(plan.staged[1].names,
              (std::vector<std::string>{"reads.fq", "fq_2_reads.fq", "fq_3_reads.fq"}));
    EXPECT_EQ(read("box/fq_reads.fq"), "other");
    EXPECT_EQ(read("box/fq_2_reads.fq"), "two");
    EXPECT_EQ(read("box/fq_3_reads.fq"), "three");
    EXPECT_EQ(plan.words, (std::vector<std::string>{"fq_reads.fq", "reads.fq", "fq_2_reads.fq",
                                                    "fq_3_reads.fq"}));
}

TEST_F(FsTest, TreeCopyAndMerge) {
    ::mkdir(path("t").c_str(), 0755);
    ::mkdir(path("t/sub").c_str(), 0700);
    write("t/sub/f", "deep");
    ::symlink("nowhere", path("t/dangling").c_str());
    try {
        sb::copy_tree(path("t"), path("c"), false);
        FAIL() << "a dangling link is reported";
    } catch (const sb::TreeCopyError &e) {
        ASSERT_EQ(e.failures.size(), 1u);
        EXPECT_EQ(e.failures[0].src, path("t/dangling"));
    }
    EXPECT_EQ(read("c/sub/f"), "deep");  // everything else was copied
    struct stat st;
    ASSERT_EQ(::stat(path("c/sub").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ::unlink(path("t/dangling").c_str());
    EXPECT_THROW(sb::copy_tree(path("t"), path("c"), false), sb::FsError);
    write("t/sub/g", "new");
    sb::copy_tree(path("t"), path("c"), true);
    EXPECT_EQ(read("c/sub/g"), "new");
}

TEST_F(FsTest, GlobHidesDotNamesUnlessThePatternStartsWithADot) {
    ::mkdir(path("g").c_str(), 0755);
    for (const char *n : {"out", "out.txt", ".out", "x-out"}) write(std::string("g/") + n, "");
    auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(sorted(sb::glob_in(path("g"), "out*")), (V{"out", "out.txt"}));
    EXPECT_EQ(sorted(sb::glob_in(path("g"), ".out*")), (V{".out"}));
    EXPECT_EQ(sorted(sb::glob_in(path("g"), "*out*")), (V{"out", "out.txt", "x-out"}));
    ::mkdir(path("g/d1").c_str(), 0755);
    write("g/d1/res", "");
    EXPECT_EQ(sb::glob_in(path("g"), "d?/re*"), (V{"d1/res"}));
    EXPECT_TRUE(sb::glob_in(path("missing"), "x*").empty());
}

namespace {

// remove_tree as another user would run it: in a child that drops to
// "nobody" when the test runs as root (root may delete anything), with
// `deep` left unwritable to it. Returns what the child saw, encoded in its
// exit status: 0 when the report matched, else the number of the mismatch.
int removal_by_an_unprivileged_user(const std::string &top) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
        sb::RemovalReport report = sb::remove_tree(top);
        if (report.complete) ::_exit(1);
        if (report.left_count != 1) ::_exit(2);
        if (report.left != std::vector<std::string>{"deep/file"}) ::_exit(3);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

}  // namespace

TEST_F(FsTest, RemovalReportsWhatItCouldNotRemove) {
    std::string top = path("sandbox");
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((top + "/deep").c_str(), 0755), 0);
    write("sandbox/deep/file", "kept\n");
    write("sandbox/plain", "gone\n");
    if (::geteuid() == 0) {  // nobody must reach the tree and own its top
        ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
        ASSERT_EQ(::chown(top.c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(::chmod((top + "/deep").c_str(), 0555), 0);

    EXPECT_EQ(removal_by_an_unprivileged_user(top), 0);
    EXPECT_FALSE(std::ifstream(top + "/plain").good());  // the rest still went

    ASSERT_EQ(::chmod((top + "/deep").c_str(), 0755), 0);
    sb::RemovalReport again = sb::remove_tree(top);
    EXPECT_TRUE(again.complete);
    EXPECT_EQ(again.left_count, 0u);
}

TEST_F(FsTest, RemovalOfAMissingTreeIsComplete) {
    EXPECT_TRUE(sb::remove_tree(path("never-made")).complete);
}

TEST_F(FsTest, PlaceFileLinksWhenAllowedAndReplacesWhatIsThere) {
    write("src", "data");
    auto inode = [&](const std::string &rel) {
        struct stat st {};
        ::lstat(path(rel).c_str(), &st);
        return st.st_ino;
    };
    const sb::PlaceRule link{true, [](const struct stat &) { return true; }};
    const sb::PlaceRule copy{true, [](const struct stat &) { return false; }};
    EXPECT_TRUE(sb::place_file(path("src"), path("linked"), link).linked);
    EXPECT_EQ(inode("linked"), inode("src"));
    EXPECT_FALSE(sb::place_file(path("src"), path("copied"), copy).linked);
    EXPECT_NE(inode("copied"), inode("src"));
    EXPECT_EQ(read("copied"), "data");

    // An existing file with another name elsewhere is replaced, not written
    // through; a link at the target is replaced too; no temporary stays.
    write("other", "keep");
    ASSERT_EQ(::link(path("other").c_str(), path("there").c_str()), 0);
    ASSERT_EQ(::symlink(path("other").c_str(), path("sym").c_str()), 0);
    sb::place_file(path("src"), path("there"), link);
    sb::place_file(path("src"), path("sym"), link);
    EXPECT_EQ(read("other"), "keep");
    EXPECT_EQ(inode("there"), inode("src"));
    EXPECT_EQ(inode("sym"), inode("src"));
    // A directory receives the file under its own name.
    ::mkdir(path("dir").c_str(), 0755);
    sb::place_file(path("src"), path("dir"), link);
    EXPECT_EQ(inode("dir/src"), inode("src"));
    std::vector<std::string> names = sb::list_dir(root);
    EXPECT_EQ(
        std::count_if(names.begin(), names.end(),
                      [](const std::string &n) { return n.find(".tmp") != std::string::npos; }),
        0);
    // A confined source that is a link is neither linked nor followed.
    ASSERT_EQ(::symlink(path("src").c_str(), path("sym2").c_str()), 0);
    EXPECT_THROW(sb::place_file(path("sym2"), path("x"), link), sb::FsError);
    EXPECT_FALSE(sb::lexists(path("x")));
    try {
        sb::place_file(path("src"), path("linked"), link);
        FAIL() << "placed onto itself";
    } catch (const sb::FsError &e) {
        EXPECT_EQ(e.kind, sb::FsError::Kind::same_file);
    }
}
