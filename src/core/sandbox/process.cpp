#include "sandbox/process.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace plexaro::sandbox {

int default_time_limit(std::string_view first_word) {
    return first_word == "add" || first_word == "sync" ? 1800 : 3600;
}

namespace {

constexpr int kSignalCheckMs = 100;

using Clock = std::chrono::steady_clock;

int open_pidfd(int pid) {
#ifdef SYS_pidfd_open
    return (int)::syscall(SYS_pidfd_open, pid, 0);
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool has_exited(int pid) {
    siginfo_t info{};
    return ::waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

void end_all(const Watch &w) {
    if (!w.own_group || ::killpg(w.pid, SIGKILL) != 0) ::kill(w.pid, SIGKILL);
}

// Reads what is there; false at the end of the stream.
bool drain(int fd, std::string &into) {
    char buffer[65536];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, (std::size_t)n);
            if ((std::size_t)n < sizeof buffer) return true;
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN;  // any other error ends the stream
    }
}

}  // namespace

WatchResult watch(const Watch &w) {
    WatchResult r;
    int stream_fd[2] = {w.stdout_fd, w.stderr_fd};
    std::string *stream_buf[2] = {&r.out, &r.err};
    bool stream_open[2] = {w.stdout_fd >= 0, w.stderr_fd >= 0};
    for (int fd : stream_fd)
        if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    int in_fd = w.stdin_fd;
    std::size_t in_at = 0;
    if (in_fd >= 0) ::fcntl(in_fd, F_SETFL, ::fcntl(in_fd, F_GETFL) | O_NONBLOCK);
    auto close_stdin = [&] {
        if (in_fd >= 0) ::close(in_fd);
        in_fd = -1;
    };
    if (in_fd >= 0 && w.stdin_data.empty()) close_stdin();

    int pidfd = open_pidfd(w.pid);
    bool exited = false;
    const auto start = Clock::now();
    std::optional<Clock::time_point> deadline;
    if (w.limit)
        deadline = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(*w.limit));
    std::optional<Clock::time_point> grace_end;

    while (true) {
        if (!exited && pidfd < 0) exited = has_exited(w.pid);
        if (exited && !stream_open[0] && !stream_open[1]) break;
        auto now = Clock::now();
        if (exited && !grace_end)
            grace_end = now + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(w.grace));
        if (exited && now >= *grace_end) {
            // The program is done; whatever it left running holds the streams.
            if (w.own_group) ::killpg(w.pid, SIGKILL);
            r.ended_leftovers = true;
            for (int s = 0; s < 2; ++s)
                if (stream_open[s]) drain(stream_fd[s], *stream_buf[s]);
            break;
        }
        if (!exited && deadline && now >= *deadline) {
            end_all(w);
            r.end = WatchResult::End::timed_out;
            break;
        }

        pollfd fds[4];
        int which[4];
        int n = 0;
        for (int s = 0; s < 2; ++s)
            if (stream_open[s]) fds[n] = {stream_fd[s], POLLIN, 0}, which[n++] = s;
        if (in_fd >= 0) fds[n] = {in_fd, POLLOUT, 0}, which[n++] = 2;
        if (!exited && pidfd >= 0) fds[n] = {pidfd, POLLIN, 0}, which[n++] = 3;

        Clock::time_point until = exited ? *grace_end : deadline.value_or(Clock::time_point::max());
        int wait_ms = -1;
        if (until != Clock::time_point::max())
            wait_ms = (int)std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
        if (pidfd < 0 && !exited) wait_ms = wait_ms < 0 ? 10 : std::min(wait_ms, 10);
        // A signal that lands while this thread is outside poll() interrupts
        // nothing: look for one at least this often.
        if (wait_ms < 0 || wait_ms > kSignalCheckMs) wait_ms = kSignalCheckMs;
        int ready = ::poll(fds, (nfds_t)n, wait_ms);
        if (ready < 0 && errno != EINTR) continue;
        if (ready <= 0) {
            if (w.interrupted()) {
                end_all(w);
                r.end = WatchResult::End::interrupted;
                break;
            }
            continue;
        }
        for (int k = 0; k < n; ++k) {
            if (!fds[k].revents) continue;
            int s = which[k];
            if (s < 2) {
                if (!drain(stream_fd[s], *stream_buf[s])) stream_open[s] = false;
            } else if (s == 2) {
                if (fds[k].revents & (POLLERR | POLLHUP)) {
                    close_stdin();
                    continue;
                }
                ssize_t put =
                    ::write(in_fd, w.stdin_data.data() + in_at, w.stdin_data.size() - in_at);
                if (put > 0)
                    in_at += (std::size_t)put;
                else if (put < 0 && errno != EAGAIN && errno != EINTR)
                    close_stdin();
                if (in_at >= w.stdin_data.size()) close_stdin();
            } else {
                exited = true;
            }
        }
    }
    close_stdin();
    if (pidfd >= 0) ::close(pidfd);
    if (w.reap) {
        int status = 0;
        struct rusage ru {};
        pid_t got;
        do got = ::wait4(w.pid, &status, 0, &ru);
        while (got < 0 && errno == EINTR);
        if (got == w.pid) {
            r.wait_status = status;
            Usage u;
            u.cpu_seconds = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6 +
                            (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec / 1e6;
            u.peak_rss_bytes = (std::uint64_t)ru.ru_maxrss * 1024;  // reported in KiB
            r.usage = u;
        }
    }
    return r;
}

CommandResult run_command(const std::vector<std::string> &argv, double limit) {
    CommandResult result;
    if (argv.empty()) return result;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        result.err = std::strerror(errno);
        return result;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        result.err = std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    std::vector<char *> words;
    for (const std::string &w : argv) words.push_back(const_cast<char *>(w.c_str()));
    words.push_back(nullptr);
    int pid = -1;
    int failed = ::posix_spawnp(&pid, words[0], &actions, &attr, words.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    ::close(err[1]);
    if (failed != 0) {
        ::close(out[0]);
        ::close(err[0]);
        result.err = argv[0] + ": " + std::strerror(failed);
        return result;
    }
    Watch w;
    w.pid = pid;
    w.own_group = true;
    w.stdout_fd = out[0];
    w.stderr_fd = err[0];
    w.limit = limit;
    w.grace = 1.0;
    w.reap = true;
    WatchResult watched = watch(w);
    ::close(out[0]);
    ::close(err[0]);
    result.out = std::move(watched.out);
    result.err = std::move(watched.err);
    result.timed_out = watched.end == WatchResult::End::timed_out;
    if (watched.wait_status) {
        int st = *watched.wait_status;
        result.status = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
    }
    return result;
}

}  // namespace plexaro::sandbox
