// Confinement of the process that runs connector code, with the kernel's own
// unprivileged mechanisms: no_new_privs, a Landlock ruleset, a seccomp filter
// and resource limits. Nothing here needs root or a helper daemon.
//
// The connector worker is confined in two layers. The worker itself (which
// runs only its own driver and forks one child per call) may write only in
// its scratch directory, may execute nothing and may open no socket; each
// per-call child adds a second layer that also limits reads to the paths of
// that call, and may not create processes. Layers only ever narrow.
#pragma once

#include <cstdint>
#include <linux/filter.h>
#include <string>
#include <vector>

namespace plexaro::weftling::confine {

// The Landlock ABI version of the running kernel, 0 when it has none.
int landlock_abi();

// Whether seccomp filters can be installed.
bool seccomp_available();

struct Layer {
    bool limit_reads = false;         // reads only beneath `reads` (and `writes`)
    std::vector<std::string> reads;   // directories (beneath) or single files
    std::vector<std::string> writes;  // directories beneath which everything is allowed
};

// The parts of the full confinement this kernel lacks, in words (empty when
// everything is there): "Landlock", "Landlock file truncation", "Landlock
// network rules", "Landlock signal and socket scoping", "seccomp".
std::vector<std::string> missing_features();

// Sets no_new_privs, no core dumps and a non-dumpable process. Throws
// std::system_error when the kernel refuses.
void lock_privileges();

// Adds one Landlock layer to the calling thread (applied to the process when
// called before any other thread exists). Paths that cannot be opened are
// left out. Does nothing when the kernel has no Landlock.
void restrict_paths(const Layer &layer);

// The seccomp program: execve/execveat, new sockets, ptrace and process
// memory access, mount and namespace calls, io_uring, kernel keyrings, bpf,
// permission, ownership, time-stamp and extended-attribute changes fail
// with EPERM; with `allow_processes` false (a call's child) so do fork,
// vfork, clone without CLONE_THREAD and changing a resource limit (clone3 reports ENOSYS so threads fall back to clone).
// Anything of a foreign architecture is killed.
std::vector<sock_filter> seccomp_program(bool allow_processes);

// Installs `seccomp_program(allow_processes)` on the calling thread.
void install_seccomp(bool allow_processes);

struct Limits {
    std::uint64_t cpu_seconds = 60;
    std::uint64_t address_space = 4ull << 30;
    std::uint64_t file_size = 1ull << 30;
    std::uint64_t open_files = 256;
};

// Soft and hard limits set to the same values.
void set_limits(const Limits &limits);

}  // namespace plexaro::weftling::confine
