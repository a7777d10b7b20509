// Where MIVO.run's tool invocations run: PLEXARO_EXECUTOR ("local", the
// default, or "slurm"), the job's requests from the step's manifest, the
// site's scheduler options from the environment, and where sandboxes live so
// that a compute node sees them.
#pragma once

#include "mivo/mivo.hpp"

#include "executor/executor.hpp"
#include "sandbox/process.hpp"
#include "stepcache/run_log.hpp"

#include <memory>
#include <optional>
#include <string>

namespace plexaro::mivo_binding {

namespace ex = plexaro::executor;

inline constexpr const char *kExecutorVariable = "PLEXARO_EXECUTOR";
inline constexpr const char *kSandboxDirVariable = "PLEXARO_SANDBOX_DIR";
inline constexpr const char *kPartitionVariable = "PLEXARO_SLURM_PARTITION";
inline constexpr const char *kAccountVariable = "PLEXARO_SLURM_ACCOUNT";
inline constexpr const char *kSchedulerArgsVariable = "PLEXARO_SLURM_ARGS";

// One attempt's job, handed to the runner.
struct JobRequest {
    ex::Executor *executor = nullptr;
    ex::JobSpec spec;
};

// What the runner learnt about one invocation.
struct RunReport {
    std::optional<plexaro::sandbox::Usage> usage;  // a local child's resource use
    std::optional<ex::JobOutcome> job;             // a job's final record
    bool scheduled = false;
    std::string executor;
};

// A step's executor: none runs the tool here; otherwise the scheduler, the
// requests and site options of every attempt's job, and the layer's own
// deadline for an attempt when the manifest gives a "time".
struct StepExecutor {
    std::unique_ptr<ex::Executor> executor;
    ex::JobSpec base;
    std::optional<double> deadline;
};

// Read at each run. Bad values (an unknown executor, a request that is not a
// count, size or duration, unbalanced quotes in PLEXARO_SLURM_ARGS) raise the
// host's ValueError.
StepExecutor step_executor(nb::dict manifest);

// The directory new sandboxes are made in: PLEXARO_SANDBOX_DIR when set;
// else, for a scheduler, ".plexaro_sandboxes" on the pipeline volume (and
// without a volume the host's RuntimeError: a compute node cannot see this
// machine's temporary directory); else the temporary directory's
// "plexaro_sandboxes".
std::string sandbox_root(bool scheduled);

// The run log's account of an invocation.
plexaro::stepcache::Execution execution_record(const RunReport &report);

}  // namespace plexaro::mivo_binding
