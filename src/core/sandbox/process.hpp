// Waiting for a started program: feeds its standard input, collects its
// output streams, keeps its time limit, and does not let a background child
// that still holds the streams keep the caller waiting once the program
// itself has ended.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

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
};

struct WatchResult {
    enum class End { exited, timed_out, interrupted } end = End::exited;
    std::string out, err;
    bool ended_leftovers = false;  // the streams' holders were ended after the grace
};

// Waits as described above; the program is not reaped (its exit status is
// left for the caller's wait). On a time-out or an interruption the process
// group (or, without one, the program) is killed.
WatchResult watch(const Watch &w);

}  // namespace plexaro::sandbox
