#include "weftling/confine.hpp"

#include "common/unique_fd.hpp"

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace plexaro::weftling::confine {

namespace {

// Landlock's interface, spelled out here so that older kernel headers
// still build every ABI version the running kernel may offer.
constexpr std::uint64_t kExecute = 1ull << 0, kWriteFile = 1ull << 1, kReadFile = 1ull << 2,
                        kReadDir = 1ull << 3, kRefer = 1ull << 13, kTruncate = 1ull << 14,
                        kIoctlDev = 1ull << 15;
constexpr std::uint64_t kNetBindTcp = 1ull << 0, kNetConnectTcp = 1ull << 1;
constexpr std::uint64_t kScopeAbstractUnix = 1ull << 0, kScopeSignal = 1ull << 1;
constexpr unsigned kCreateVersion = 1u << 0;
constexpr int kRulePathBeneath = 1;

struct RulesetAttr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;
    std::uint64_t scoped;
};

struct __attribute__((packed)) PathBeneath {
    std::uint64_t allowed_access;
    std::int32_t parent_fd;
};

#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#define __NR_landlock_add_rule 445
#define __NR_landlock_restrict_self 446
#endif

[[noreturn]] void fail(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::uint64_t fs_rights(int abi) {
    std::uint64_t all = (1ull << 13) - 1;  // execute .. make_sym
    if (abi >= 2) all |= kRefer;
    if (abi >= 3) all |= kTruncate;
    if (abi >= 5) all |= kIoctlDev;
    return all;
}

// Rights that apply to a file that is not a directory.
constexpr std::uint64_t kFileRights = kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev;

void add_rule(int ruleset, const std::string &path, std::uint64_t rights) {
    files::UniqueFd fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (!fd.valid()) return;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) rights &= kFileRights;
    if (rights == 0) return;
    PathBeneath rule{rights, fd.get()};
    if (::syscall(__NR_landlock_add_rule, ruleset, kRulePathBeneath, &rule, 0) != 0)
        fail("landlock_add_rule");
}

#if defined(__x86_64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture for this target"
#endif

constexpr std::uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr std::uint32_t kEperm = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
constexpr std::uint32_t kEnosys = SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA);

// Calls refused in every layer.
const std::vector<long> &denied_calls() {
    static const std::vector<long> calls = {
        __NR_execve,
        __NR_execveat,
        __NR_socket,
        __NR_socketpair,
        __NR_ptrace,
        __NR_process_vm_readv,
        __NR_process_vm_writev,
        __NR_mount,
        __NR_umount2,
        __NR_pivot_root,
        __NR_chroot,
        __NR_unshare,
        __NR_setns,
        __NR_move_mount,
        __NR_open_tree,
        __NR_fsopen,
        __NR_fsconfig,
        __NR_fsmount,
        __NR_fspick,
        __NR_mount_setattr,
        __NR_io_uring_setup,
        __NR_io_uring_enter,
        __NR_io_uring_register,
        __NR_keyctl,
        __NR_add_key,
        __NR_request_key,
        __NR_bpf,
        __NR_perf_event_open,
        __NR_userfaultfd,
        __NR_kexec_load,
        __NR_kexec_file_load,
        __NR_init_module,
        __NR_finit_module,
        __NR_delete_module,
        __NR_fchmod,
        __NR_fchmodat,
        __NR_fchown,
        __NR_fchownat,
        __NR_acct,
        __NR_swapon,
        __NR_swapoff,
        __NR_reboot,
        __NR_settimeofday,
        __NR_clock_settime,
        __NR_sethostname,
        __NR_setdomainname,
        __NR_quotactl,
        __NR_open_by_handle_at,
        __NR_name_to_handle_at,
        __NR_mknodat,
        __NR_setxattr,
        __NR_lsetxattr,
        __NR_fsetxattr,
        __NR_removexattr,
        __NR_lremovexattr,
        __NR_fremovexattr,
        __NR_utimensat,
        __NR_process_madvise,
        __NR_pidfd_getfd,
        452 /* fchmodat2 */,
#ifdef __NR_chmod
        __NR_chmod,
        __NR_chown,
        __NR_lchown,
        __NR_mknod,
        __NR_utime,
        __NR_utimes,
        __NR_futimesat,
        __NR_uselib,
#endif
    };
    return calls;
}

sock_filter stmt(std::uint16_t code, std::uint32_t k) { return BPF_STMT(code, k); }
sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t jt, std::uint8_t jf) {
    return BPF_JUMP(code, k, jt, jf);
}

constexpr std::uint32_t kNr = offsetof(seccomp_data, nr);
constexpr std::uint32_t kArchOff = offsetof(seccomp_data, arch);
std::uint32_t arg_low(int i) { return offsetof(seccomp_data, args) + 8 * i; }
std::uint32_t arg_high(int i) { return offsetof(seccomp_data, args) + 8 * i + 4; }

// nr == value -> return `action`
void refuse(std::vector<sock_filter> &p, long nr, std::uint32_t action) {
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(nr), 0, 1));
    p.push_back(stmt(BPF_RET | BPF_K, action));
}

}  // namespace

int landlock_abi() {
    long abi = ::syscall(__NR_landlock_create_ruleset, nullptr, 0, kCreateVersion);
    return abi < 0 ? 0 : static_cast<int>(abi);
}

bool seccomp_available() { return ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0; }

std::vector<std::string> missing_features() {
    std::vector<std::string> missing;
    const int abi = landlock_abi();
    if (abi < 1) missing.push_back("Landlock");
    if (abi >= 1 && abi < 3) missing.push_back("Landlock file truncation");
    if (abi < 4) missing.push_back("Landlock network rules");
    if (abi < 6) missing.push_back("Landlock signal and socket scoping");
    if (!seccomp_available()) missing.push_back("seccomp");
    return missing;
}

void lock_privileges() {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail("PR_SET_NO_NEW_PRIVS");
    struct rlimit none {
        0, 0
    };
    if (::setrlimit(RLIMIT_CORE, &none) != 0) fail("RLIMIT_CORE");
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) fail("PR_SET_DUMPABLE");
}

void restrict_paths(const Layer &layer) {
    const int abi = landlock_abi();
    if (abi < 1) return;
    const std::uint64_t all = fs_rights(abi);
    const std::uint64_t reading = kReadFile | kReadDir;
    RulesetAttr attr{};
    attr.handled_access_fs = layer.limit_reads ? all : all & ~reading;
    std::size_t size = sizeof(std::uint64_t);
    if (abi >= 4) {
        attr.handled_access_net = kNetBindTcp | kNetConnectTcp;
        size = 2 * sizeof(std::uint64_t);
    }
    if (abi >= 6) {
        attr.scoped = kScopeAbstractUnix | kScopeSignal;
        size = sizeof(RulesetAttr);
    }
    long fd = ::syscall(__NR_landlock_create_ruleset, &attr, size, 0);
    if (fd < 0) fail("landlock_create_ruleset");
    files::UniqueFd ruleset(static_cast<int>(fd));
    for (const std::string &path : layer.writes)
        add_rule(ruleset.get(), path, attr.handled_access_fs & ~kExecute);
    if (layer.limit_reads)
        for (const std::string &path : layer.reads) add_rule(ruleset.get(), path, reading);
    if (::syscall(__NR_landlock_restrict_self, ruleset.get(), 0) != 0)
        fail("landlock_restrict_self");
}

std::vector<sock_filter> seccomp_program(bool allow_processes) {
    std::vector<sock_filter> p;
    p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, kArchOff));
    p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0));
    p.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, kNr));
#if defined(__x86_64__)
    // The x32 calling convention reaches the same calls under other numbers.
    p.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 1));
    p.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
#endif
    for (long nr : denied_calls()) refuse(p, nr, kEperm);
    if (!allow_processes) {
        // A call's limits stay: changing one is refused, reading one (no
        // new value) is not. The worker itself sets each call's limits.
        refuse(p, __NR_setrlimit, kEperm);
        p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_prlimit64, 0, 5));
        p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, arg_low(2)));
        p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 2));
        p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, arg_high(2)));
        p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0));
        p.push_back(stmt(BPF_RET | BPF_K, kEperm));
        p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, kNr));
    }
    // clone3 passes its flags in memory a filter cannot read: its callers
    // fall back to clone, whose flags can be checked.
    refuse(p, __NR_clone3, allow_processes ? kAllow : kEnosys);
    if (!allow_processes) {
#ifdef __NR_fork
        refuse(p, __NR_fork, kEperm);
        refuse(p, __NR_vfork, kEperm);
#endif
        p.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 3));
        p.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, arg_low(0)));
        p.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 1, 0));
        p.push_back(stmt(BPF_RET | BPF_K, kEperm));
    }
    p.push_back(stmt(BPF_RET | BPF_K, kAllow));
    return p;
}

void install_seccomp(bool allow_processes) {
    std::vector<sock_filter> program = seccomp_program(allow_processes);
    sock_fprog prog{static_cast<unsigned short>(program.size()), program.data()};
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0) fail("PR_SET_SECCOMP");
}

void set_limits(const Limits &limits) {
    auto set = [](int resource, std::uint64_t value, const char *what) {
        struct rlimit current;
        if (::getrlimit(resource, &current) != 0) fail(what);
        rlim_t v = static_cast<rlim_t>(value);
        if (current.rlim_max != RLIM_INFINITY && current.rlim_max < v) v = current.rlim_max;
        struct rlimit next {
            v, v
        };
        if (::setrlimit(resource, &next) != 0) fail(what);
    };
    set(RLIMIT_CPU, limits.cpu_seconds, "RLIMIT_CPU");
    set(RLIMIT_AS, limits.address_space, "RLIMIT_AS");
    set(RLIMIT_FSIZE, limits.file_size, "RLIMIT_FSIZE");
    set(RLIMIT_NOFILE, limits.open_files, "RLIMIT_NOFILE");
}

}  // namespace plexaro::weftling::confine
