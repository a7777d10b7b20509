// Waiting for a started program: feeds its standard input, collects its
// output streams, keeps its time limit, and does not let a background child
// that still holds the streams keep the caller waiting once the program
// itself has ended.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::sandbox {

// Seconds a program gets to finish by default: image pulls ("add", "sync")
// get less than everything else.
int default_time_limit(std::string_view first_word);

struct Watch {
    int pid = -1;
    bool own_group = false;  // the program leads its own process group
    int stdin_fd = -1;       // a pipe to write `stdin_data` to, then closed
    std::string stdin_data;
    int stdout_fd = -1;  // pipes read to their end (-1: not ours to read)
    int stderr_fd = -1;
    std::optional<double> limit;  // seconds; none waits without a limit
    double grace = 3.0;           // seconds the streams get after the program ended
    // Asked after a signal interrupted the wait; true ends the wait.
    std::function<bool()> interrupted = [] { return false; };
    // Reap the program at the end and report its exit status and resource use.
    bool reap = false;
};

// What a program and the children it waited for used (getrusage's children).
struct Usage {
    double cpu_seconds = 0;            // user + system
    std::uint64_t peak_rss_bytes = 0;  // the largest resident set among them
};

struct WatchResult {
    enum class End { exited, timed_out, interrupted } end = End::exited;
    std::string out, err;
    bool ended_leftovers = false;    // the streams' holders were ended after the grace
    std::optional<int> wait_status;  // with `reap`: as waitpid gives it
    std::optional<Usage> usage;      // with `reap`
};

// Waits as described above; unless `reap` is set the program is not reaped
// (its exit status is left for the caller's wait). On a time-out or an interruption the process
// group (or, without one, the program) is killed.
WatchResult watch(const Watch &w);

// A short outside command (a scheduler's client): its exit status (-signal
// when killed; -1 when it could not be started, the reason in `err`), its
// output, within `limit` seconds (then killed, `timed_out`). The program is
// looked up on PATH; the environment is the process's own.
struct CommandResult {
    int status = -1;
    bool timed_out = false;
    std::string out, err;
};
CommandResult run_command(const std::vector<std::string> &argv, double limit);

}  // namespace plexaro::sandbox
