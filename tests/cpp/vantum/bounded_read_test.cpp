#include "vantum/bounded_read.hpp"
#include "vantum/look.hpp"

#include "scratch_dir.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

using namespace plexaro::vantum;
using namespace std::chrono_literals;
using TempDir = plexaro_test::ScratchDir;

namespace {

ssize_t never_at_hand(int, void *, std::size_t, off_t) {
    errno = EAGAIN;
    return -1;
}
ssize_t cannot_tell(int, void *, std::size_t, off_t) {
    errno = EOPNOTSUPP;
    return -1;
}

// A file of exactly kStuckSize bytes reads like a hung network mount.
constexpr off_t kStuckSize = 777;
std::atomic<bool> hung{true};
ssize_t read_or_hang(int fd, void *buf, std::size_t size, off_t offset) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size == kStuckSize)
        while (hung.load()) std::this_thread::sleep_for(5ms);
    return ::pread(fd, buf, size, offset);
}

bool remote(int) { return false; }
bool local(int) { return true; }

const ReadOps kUncached{never_at_hand, ::pread, local};
const ReadOps kUnknowingRemote{cannot_tell, ::pread, remote};
const ReadOps kUnknowingLocal{cannot_tell, ::pread, local};
const ReadOps kHanging{never_at_hand, read_or_hang, local};

}  // namespace

TEST(BoundedRead, ReadsThatWouldWaitShareOneHelperThread) {
    TempDir t;
    std::string line(1000, 'x');
    std::vector<LookRequest> requests;
    for (int i = 0; i < 20; ++i)
        requests.push_back(
            {t.write("f" + std::to_string(i), std::to_string(i) + line + "\n"), 3, 5});
    for (const ReadOps *ops : {&kUncached, &kUnknowingRemote}) {
        std::vector<FileLook> looks = look_at_files(requests, 3s, *ops);  // warm up the helper
        std::size_t before = read_helpers_started(), handed = reads_handed_over();
        looks = look_at_files(requests, 3s, *ops);
        EXPECT_EQ(read_helpers_started(), before);
        EXPECT_GE(reads_handed_over(), handed + 20);
        ASSERT_EQ(looks.size(), 20u);
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(looks[i].preview, (std::to_string(i) + line).substr(0, 5));
    }
}

TEST(BoundedRead, LocalFileSystemsThatCannotTellAreReadDirectly) {
    TempDir t;
    std::string f = t.write("f", "local\n");
    std::size_t handed = reads_handed_over();
    EXPECT_EQ(look_at_file(f, 3, 200, Clock::now() + 3s, kUnknowingLocal).preview, "local");
    EXPECT_EQ(reads_handed_over(), handed);
    // Whatever this machine's temporary directory is, the system's reads of
    // a file just written there need no helper.
    EXPECT_EQ(look_at_file(f, 3, 200, Clock::now() + 3s).preview, "local");
    EXPECT_EQ(reads_handed_over(), handed);
}

TEST(BoundedRead, AForkedChildStartsItsOwnHelpers) {
    TempDir t;
    std::vector<LookRequest> requests = {{t.write("f", "in the child\n"), 3, 200}};
    look_at_files(requests, 3s, kUncached);  // the parent now has an idle helper
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto start = Clock::now();
        bool ok = look_at_files(requests, 3s, kUncached)[0].preview == "in the child" &&
                  Clock::now() - start < 1s;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(BoundedRead, AStuckReadCostsOnlyItsOwnPreviewAndDeadline) {
    TempDir t;
    std::vector<LookRequest> requests = {
        {t.write("a", "first\n"), 3, 200},
        {t.write("slow", std::string(kStuckSize - 1, 's') + "\n"), 3, 200},
        {t.write("b", "second\n"), 3, 200},
    };
    std::size_t before = read_helpers_started();
    auto start = Clock::now();
    std::vector<FileLook> looks = look_at_files(requests, 150ms, kHanging);
    auto took = Clock::now() - start;
    EXPECT_EQ(looks[0].preview, "first");
    EXPECT_EQ(looks[1], FileLook{});
    EXPECT_EQ(looks[2].preview, "second");
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 2s);
    // The stuck helper was left behind and one more took its place.
    EXPECT_LE(read_helpers_started(), before + 2);
    hung.store(false);
}

TEST(BoundedRead, DataNotInMemoryIsStillReadWithTheSystemsReads) {
    TempDir t;
    std::string content = "cold\n" + std::string(300000, 'c') + "\n";
    std::string f = t.write("cold", content);
    int fd = ::open(f.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ::fsync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    BoundedReader reader(fd, Clock::now() + 3s);
    std::string seen;
    char buf[65536];
    std::size_t got;
    while (reader.next(buf, sizeof buf, got) == BoundedReader::Status::data) seen.append(buf, got);
    ::close(fd);
    EXPECT_EQ(seen, content);
}

TEST(BoundedRead, NothingIsReadPastTheDeadline) {
    TempDir t;
    std::string f = t.write("f", "text\n");
    int fd = ::open(f.c_str(), O_RDONLY);
    BoundedReader reader(fd, Clock::now() - 1ms);
    char buf[16];
    std::size_t got;
    EXPECT_EQ(reader.next(buf, sizeof buf, got), BoundedReader::Status::timed_out);
    ::close(fd);
}
