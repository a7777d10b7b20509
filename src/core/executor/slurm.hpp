// Slurm: the invocation runs under `srun` (which blocks, passes the job's
// output through and is the quickest way in); the job is found again by its
// unique name with `squeue`, its final state and exit code come from
// `scontrol show job`, CPU time and peak memory from `sacct` where the site
// keeps accounting, and `scancel` ends it.
#pragma once

#include "executor/executor.hpp"

#include <map>

namespace plexaro::executor::slurm {

// The srun command line of `job` around `argv`.
std::vector<std::string> srun_words(const JobSpec &job, const std::vector<std::string> &argv);

// "KEY=VALUE KEY=VALUE ..." of `scontrol show job -o` (a value that holds
// spaces keeps them up to the next KEY=).
std::map<std::string, std::string> parse_fields(std::string_view line);

// A job's final record from those fields (JobState, Reason, ExitCode, NodeList).
JobOutcome outcome_from_fields(const std::map<std::string, std::string> &fields);

// States after which the job will not change any more.
bool is_final_state(std::string_view state);

// "1-02:03:04", "02:03:04", "03:04.500" (sacct's TotalCPU) in seconds.
std::optional<double> parse_cpu_time(std::string_view text);
// "1234K", "12M", "512" (bytes) of sacct's MaxRSS, in bytes.
std::optional<std::uint64_t> parse_rss(std::string_view text);
// `sacct -n -P -o JobID,TotalCPU,MaxRSS` lines: the job's CPU time and the
// largest MaxRSS of its steps.
void add_accounting(JobOutcome &outcome, std::string_view sacct_out);

// Whether srun's own messages say the step was killed over its memory limit.
bool client_says_out_of_memory(std::string_view client_err);

class SlurmExecutor : public Executor {
public:
    std::string name() const override { return "slurm"; }
    std::vector<std::string> wrap(const JobSpec &job,
                                  const std::vector<std::string> &argv) const override {
        return srun_words(job, argv);
    }
    std::optional<JobOutcome> cancel(const JobSpec &job) override;
    std::optional<JobOutcome> outcome(const JobSpec &job, std::string_view client_err) override;
};

}  // namespace plexaro::executor::slurm
