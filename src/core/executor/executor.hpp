// Where a tool's invocation runs. The local default runs it as a child of
// this process; an executor hands it to a batch scheduler as one job per
// attempt. An executor does three things: wraps the command line so it runs
// as the job, cancels the job, and reads the job's final state and resource
// use from the scheduler. Another scheduler is one more implementation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::executor {

// What a step asks of the scheduler (from its manifest).
struct Resources {
    std::optional<unsigned> cpus;
    std::optional<std::uint64_t> memory_mb;
    std::optional<std::uint64_t> time_seconds;
    bool gpu = false;
};

// "8G", "500M", "2T", "512K" or plain MiB ("1024"); nullopt when not a
// positive size. Units are binary; K rounds up to whole MiB.
std::optional<std::uint64_t> parse_memory_mb(std::string_view text);
// "90m", "2h", "45s", "1d", or the scheduler's forms "MM", "MM:SS",
// "HH:MM:SS", "D-HH", "D-HH:MM", "D-HH:MM:SS"; nullopt when not a positive
// duration.
std::optional<std::uint64_t> parse_time_seconds(std::string_view text);
// "50M", "8G": a size in MiB as the requests are written back to the user.
std::string memory_text(std::uint64_t mb);

// One job: a unique, recognisable name, the directory it runs in, its
// requests and the site's own options.
struct JobSpec {
    std::string name;
    std::string workdir;
    Resources resources;
    std::string partition, account;
    std::vector<std::string> extra_args;
};

// The job as the scheduler saw it end.
struct JobOutcome {
    std::string id;
    std::string state;  // the scheduler's word: COMPLETED, FAILED, CANCELLED, ...
    std::string reason;
    std::string node;
    int exit_code = 0;
    int signal = 0;
    std::optional<double> cpu_seconds;
    std::optional<std::uint64_t> peak_memory_bytes;
    bool out_of_memory = false;  // killed over its memory request

    bool succeeded() const { return state == "COMPLETED" && exit_code == 0 && signal == 0; }
};

class Executor {
public:
    virtual ~Executor() = default;
    // "slurm": the word in the run log.
    virtual std::string name() const = 0;
    // The command line that runs `argv` as the job `job` and waits for it.
    virtual std::vector<std::string> wrap(const JobSpec &job,
                                          const std::vector<std::string> &argv) const = 0;
    // Cancels the job in whatever state it is and waits (bounded) until it has
    // ended; the final state when the scheduler still knows the job.
    virtual std::optional<JobOutcome> cancel(const JobSpec &job) = 0;
    // After the wrapped command ended: the job's final state (waiting, bounded,
    // while the scheduler is still finishing it); nullopt when the scheduler
    // knows no such job (it was never submitted). `client_err` is the end of
    // what the scheduler's client wrote, read only for the kill notes some
    // schedulers leave there.
    virtual std::optional<JobOutcome> outcome(const JobSpec &job, std::string_view client_err) = 0;
};

// The executor called `name` ("slurm"); nullptr for any other name.
std::unique_ptr<Executor> make_executor(std::string_view name);

// One line for a failure's message: "Slurm job 12 (name) on node: FAILED,
// exit code 0, signal 9: out of memory, killed over its memory request of 50M".
std::string describe_outcome(std::string_view scheduler, const JobSpec &job,
                             const JobOutcome &outcome);

}  // namespace plexaro::executor
