#include "sandbox/process.hpp"
#include "sandbox/recovery.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sb = plexaro::sandbox;

namespace {

// Starts `sh -c script` in its own process group with piped streams.
struct Child {
    int pid = -1;
    int in = -1, out = -1, err = -1;
    explicit Child(const char *script) {
        int pin[2], pout[2], perr[2];
        EXPECT_EQ(::pipe(pin), 0);
        EXPECT_EQ(::pipe(pout), 0);
        EXPECT_EQ(::pipe(perr), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pin[0], 0);
        posix_spawn_file_actions_adddup2(&actions, pout[1], 1);
        posix_spawn_file_actions_adddup2(&actions, perr[1], 2);
        for (int fd : {pin[0], pin[1], pout[0], pout[1], perr[0], perr[1]})
            posix_spawn_file_actions_addclose(&actions, fd);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        const char *argv[] = {"sh", "-c", script, nullptr};
        EXPECT_EQ(posix_spawnp(&pid, "sh", &actions, &attr, (char **)argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        ::close(pin[0]);
        ::close(pout[1]);
        ::close(perr[1]);
        in = pin[1];
        out = pout[0];
        err = perr[0];
    }
    ~Child() {
        ::close(out);
        ::close(err);
    }
    int status() {
        int st = 0;
        ::waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
    }
    sb::Watch watch(double limit) {
        sb::Watch w;
        w.pid = pid;
        w.own_group = true;
        w.stdin_fd = in;
        w.stdout_fd = out;
        w.stderr_fd = err;
        w.limit = limit;
        w.grace = 0.3;
        return w;
    }
};

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

TEST(DefaultTimeLimit, PullsGetLess) {
    EXPECT_EQ(sb::default_time_limit("add"), 1800);
    EXPECT_EQ(sb::default_time_limit("sync"), 1800);
    EXPECT_EQ(sb::default_time_limit("Add"), 3600);
    EXPECT_EQ(sb::default_time_limit("exec"), 3600);
    EXPECT_EQ(sb::default_time_limit(""), 3600);
}

TEST(Watch, FeedsInputAndCollectsBinaryStreams) {
    Child c("cat; printf 'e\\000\\377' >&2; exit 3");
    sb::Watch w = c.watch(10);
    w.stdin_data = std::string("in\0put", 6);
    sb::WatchResult r = sb::watch(w);
    EXPECT_EQ(r.end, sb::WatchResult::End::exited);
    EXPECT_EQ(r.out, std::string("in\0put", 6));
    EXPECT_EQ(r.err, std::string("e\0\xff", 3));
    EXPECT_EQ(c.status(), 3);
}

TEST(Watch, EndedProgramIsNotHeldByABackgroundChild) {
    Child c("sleep 30 & echo done; exit 0");
    auto start = std::chrono::steady_clock::now();
    sb::WatchResult r = sb::watch(c.watch(30));
    EXPECT_LT(seconds_since(start), 5);
    EXPECT_EQ(r.end, sb::WatchResult::End::exited);
    EXPECT_TRUE(r.ended_leftovers);
    EXPECT_EQ(r.out, "done\n");
    EXPECT_EQ(c.status(), 0);
    // The group is gone once its killed members have been reaped.
    auto killed = std::chrono::steady_clock::now();
    while (::killpg(c.pid, 0) == 0 && seconds_since(killed) < 3) ::usleep(10000);
    EXPECT_NE(::killpg(c.pid, 0), 0);
}

TEST(Watch, TimeLimitEndsTheGroup) {
    Child c("sleep 30 & sleep 30");
    auto start = std::chrono::steady_clock::now();
    sb::WatchResult r = sb::watch(c.watch(0.3));
    EXPECT_LT(seconds_since(start), 3);
    EXPECT_EQ(r.end, sb::WatchResult::End::timed_out);
    EXPECT_EQ(c.status(), -SIGKILL);
}

TEST(Recovery, ChoiceFromTheErrorTheWordsAndTheTemplate) {
    const std::string miss = "mivo exec t failed (exit 1): x: No such file or directory";
    EXPECT_EQ(sb::choose_recovery(miss, {"-i", "/data/ref.fa"}, true), sb::Recovery::relocate);
    EXPECT_EQ(sb::choose_recovery(miss, {"/workspace2/ref.fa"}, false), sb::Recovery::infer);
    EXPECT_EQ(sb::choose_recovery(miss, {"ref.fa"}, true), sb::Recovery::give_up);
    EXPECT_EQ(sb::choose_recovery("exit 2", {"/data/ref.fa"}, false), sb::Recovery::infer);
}
