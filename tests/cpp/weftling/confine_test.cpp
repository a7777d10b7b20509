// The confinement of the connector worker, tried in forked children: each
// child confines itself, tries what a connector must not do, and reports
// through its exit status.
#include "weftling/confine.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace confine = plexaro::weftling::confine;

namespace {

// Runs `body` in a child; its result is the child's exit status (-1 when a
// signal ended it).
int in_child(const std::function<int()> &body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
            code = 98;
        }
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string scratch_dir(const char *name) {
    std::string dir =
        std::string(::testing::TempDir()) + "confine-" + name + "-" + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0700);
    return dir;
}

}  // namespace

TEST(Confine, ProgramRefusesExecAndSocketsAndChecksTheArchitecture) {
    auto program = confine::seccomp_program(false);
    ASSERT_GT(program.size(), 10u);
    EXPECT_EQ(program.back().code, BPF_RET | BPF_K);
    // The worker's own layer may fork; a call's layer has more to refuse.
    EXPECT_LT(confine::seccomp_program(true).size(), program.size());
}

TEST(Confine, ACallsChildCannotExecForkOrOpenASocket) {
    if (!confine::seccomp_available()) GTEST_SKIP() << "no seccomp";
    int status = in_child([] {
        confine::lock_privileges();
        confine::install_seccomp(false);
        if (::socket(AF_INET, SOCK_STREAM, 0) >= 0 || errno != EPERM) return 1;
        char *argv[] = {const_cast<char *>("true"), nullptr};
        ::execv("/bin/true", argv);
        if (errno != EPERM) return 2;
        if (::fork() >= 0) return 3;
        if (::chmod("/", 0755) == 0 || errno != EPERM) return 4;
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(Confine, WritesOnlyInScratchAndReadsOnlyWhatTheLayerNames) {
    if (confine::landlock_abi() < 1) GTEST_SKIP() << "no Landlock";
    const std::string scratch = scratch_dir("scratch");
    const std::string outside = scratch_dir("outside");
    const std::string victim = outside + "/victim";
    const std::string secret = outside + "/secret";
    for (const std::string &path : {victim, secret}) {
        FILE *f = std::fopen(path.c_str(), "w");
        std::fputs("precious", f);
        std::fclose(f);
    }
    int status = in_child([&] {
        confine::lock_privileges();
        confine::restrict_paths({true, {victim}, {scratch}});
        int fd = ::open((scratch + "/mine").c_str(), O_WRONLY | O_CREAT, 0600);
        if (fd < 0) return 1;
        ::close(fd);
        if (::open(victim.c_str(), O_WRONLY) >= 0 || errno != EACCES) return 2;
        fd = ::open(victim.c_str(), O_RDONLY);
        if (fd < 0) return 3;
        ::close(fd);
        if (::open(secret.c_str(), O_RDONLY) >= 0 || errno != EACCES) return 4;
        if (::unlink(victim.c_str()) == 0) return 5;
        return 0;
    });
    EXPECT_EQ(status, 0);
    struct stat st;
    EXPECT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8);
}

TEST(Confine, LimitsAreSetHardAndSoft) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than the limit allows";
#endif
    int status = in_child([] {
        confine::set_limits({5, 1ull << 30, 1 << 20, 64});
        return ::open("/dev/null", O_RDONLY) >= 0 && std::malloc(2ull << 30) == nullptr ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}
