#include "executor/slurm.hpp"

#include "sandbox/process.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <thread>
#include <unistd.h>

namespace plexaro::executor::slurm {

namespace sb = plexaro::sandbox;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kClientLimit = 30;  // seconds one squeue, scontrol, sacct or scancel may take
constexpr double kFinalWait = 60;    // seconds the scheduler gets to close a job's record
constexpr double kAppearWait = 1;    // seconds a job srun ran gets to show in squeue
constexpr auto kFirstPause = std::chrono::milliseconds(5);
constexpr auto kLongestPause = std::chrono::milliseconds(200);

// Whether this cluster keeps accounting that sacct can read: unknown until
// sacct answered once.
std::atomic<int> accounting{-1};

std::string uid() { return std::to_string(::getuid()); }

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void pause(std::chrono::milliseconds &step) {
    std::this_thread::sleep_for(step);
    step = std::min(step * 2, kLongestPause);
}

struct Listed {
    std::string id, state, node;
};

// The jobs of this user with the job's name, oldest first.
std::vector<Listed> listed(const JobSpec &job) {
    sb::CommandResult r =
        sb::run_command({"squeue", "--noheader", "--states=all", "--user=" + uid(),
                         "--name=" + job.name, "--format=%i|%T|%N"},
                        kClientLimit);
    std::vector<Listed> jobs;
    if (r.status != 0) return jobs;
    std::string_view out = r.out;
    while (!out.empty()) {
        std::size_t end = out.find('\n');
        std::string_view line = out.substr(0, end);
        out.remove_prefix(end == std::string_view::npos ? out.size() : end + 1);
        std::size_t a = line.find('|'), b = a == std::string_view::npos ? a : line.find('|', a + 1);
        if (b == std::string_view::npos) continue;
        jobs.push_back({std::string(line.substr(0, a)), std::string(line.substr(a + 1, b - a - 1)),
                        std::string(line.substr(b + 1))});
    }
    std::sort(jobs.begin(), jobs.end(), [](const Listed &x, const Listed &y) {
        return x.id.size() != y.id.size() ? x.id.size() < y.id.size() : x.id < y.id;
    });
    return jobs;
}

// The full record of a job that has ended; `seen` when scontrol cannot say.
JobOutcome final_record(const Listed &seen) {
    JobOutcome o;
    o.id = seen.id;
    o.state = seen.state;
    o.node = seen.node;
    if (seen.state == "COMPLETED") return o;  // exit code 0 by definition
    sb::CommandResult r =
        sb::run_command({"scontrol", "--oneliner", "show", "job", seen.id}, kClientLimit);
    if (r.status != 0) return o;
    JobOutcome full = outcome_from_fields(parse_fields(r.out));
    if (full.id.empty() || full.state.empty()) return o;
    return full;
}

void read_accounting(JobOutcome &o) {
    if (accounting.load() == 0) return;
    sb::CommandResult r = sb::run_command({"sacct", "--noheader", "--parsable2", "--noconvert",
                                           "--jobs=" + o.id, "--format=JobID,TotalCPU,MaxRSS"},
                                          kClientLimit);
    if (r.status != 0) {
        if (r.err.find("disabled") != std::string::npos) accounting.store(0);
        return;
    }
    accounting.store(1);
    add_accounting(o, r.out);
}

}  // namespace

std::vector<std::string> srun_words(const JobSpec &job, const std::vector<std::string> &argv) {
    std::vector<std::string> w{
        "srun",      "--quiet",   "--job-name=" + job.name, "--chdir=" + job.workdir,
        "--nodes=1", "--ntasks=1"};
    const Resources &r = job.resources;
    if (r.cpus) w.push_back("--cpus-per-task=" + std::to_string(*r.cpus));
    if (r.memory_mb) w.push_back("--mem=" + std::to_string(*r.memory_mb) + "M");
    // The scheduler counts whole minutes.
    if (r.time_seconds) w.push_back("--time=" + std::to_string((*r.time_seconds + 59) / 60));
    if (r.gpu) w.push_back("--gres=gpu:1");
    if (!job.partition.empty()) w.push_back("--partition=" + job.partition);
    if (!job.account.empty()) w.push_back("--account=" + job.account);
    w.insert(w.end(), job.extra_args.begin(), job.extra_args.end());
    w.insert(w.end(), argv.begin(), argv.end());
    return w;
}

std::map<std::string, std::string> parse_fields(std::string_view line) {
    std::map<std::string, std::string> fields;
    std::string *last = nullptr;
    while (!line.empty()) {
        std::size_t space = line.find_first_of(" \n");
        std::string_view word = line.substr(0, space);
        line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
        if (word.empty()) continue;
        std::size_t eq = word.find('=');
        bool is_key = eq != std::string_view::npos && eq > 0 &&
                      std::all_of(word.begin(), word.begin() + (long)eq, [](char c) {
                          return std::isalnum((unsigned char)c) || c == '_' || c == '/' ||
                                 c == ':' || c == '.';
                      });
        if (is_key) {
            last = &fields[std::string(word.substr(0, eq))];
            *last = std::string(word.substr(eq + 1));
        } else if (last) {
            *last += " ";
            *last += word;
        }
    }
    return fields;
}

JobOutcome outcome_from_fields(const std::map<std::string, std::string> &fields) {
    auto get = [&](const char *key) {
        auto it = fields.find(key);
        return it == fields.end() ? std::string() : it->second;
    };
    JobOutcome o;
    o.id = get("JobId");
    o.state = get("JobState");
    o.reason = get("Reason");
    o.node = get("NodeList");
    std::string code = get("ExitCode");
    std::size_t colon = code.find(':');
    if (colon != std::string::npos) {
        std::from_chars(code.data(), code.data() + colon, o.exit_code);
        std::from_chars(code.data() + colon + 1, code.data() + code.size(), o.signal);
    }
    return o;
}

bool is_final_state(std::string_view state) {
    static const char *const final_states[] = {
        "COMPLETED", "FAILED",    "CANCELLED", "TIMEOUT", "OUT_OF_MEMORY", "NODE_FAIL",
        "PREEMPTED", "BOOT_FAIL", "DEADLINE",  "REVOKED", "SPECIAL_EXIT"};
    // squeue may add who cancelled: "CANCELLED by 0".
    std::string_view word = state.substr(0, state.find(' '));
    for (const char *s : final_states)
        if (word == s) return true;
    return false;
}

std::optional<double> parse_cpu_time(std::string_view text) {
    if (text.empty()) return std::nullopt;
    double days = 0;
    std::size_t dash = text.find('-');
    if (dash != std::string_view::npos) {
        int d = 0;
        if (std::from_chars(text.data(), text.data() + dash, d).ec != std::errc())
            return std::nullopt;
        days = d;
        text.remove_prefix(dash + 1);
    }
    std::vector<double> parts;
    while (true) {
        std::size_t colon = text.find(':');
        std::string_view part = text.substr(0, colon);
        double value = 0;
        auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (ec != std::errc() || end != part.data() + part.size()) return std::nullopt;
        parts.push_back(value);
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
    }
    if (parts.size() < 2 || parts.size() > 3) return std::nullopt;
    double seconds =
        parts.size() == 3 ? parts[0] * 3600 + parts[1] * 60 + parts[2] : parts[0] * 60 + parts[1];
    return days * 86400 + seconds;
}

std::optional<std::uint64_t> parse_rss(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t factor = 1;
    switch (text.back()) {
    case 'K': factor = 1024; break;
    case 'M': factor = 1024ull * 1024; break;
    case 'G': factor = 1024ull * 1024 * 1024; break;
    case 'T': factor = 1024ull * 1024 * 1024 * 1024; break;
    default: break;
    }
    if (factor != 1) text.remove_suffix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return (std::uint64_t)(value * (double)factor);
}

void add_accounting(JobOutcome &o, std::string_view out) {
    while (!out.empty()) {
        std::size_t end = out.find('\n');
        std::string_view line = out.substr(0, end);
        out.remove_prefix(end == std::string_view::npos ? out.size() : end + 1);
        std::size_t a = line.find('|'), b = a == std::string_view::npos ? a : line.find('|', a + 1);
        if (b == std::string_view::npos) continue;
        std::string_view id = line.substr(0, a);
        if (id == o.id) {
            if (auto cpu = parse_cpu_time(line.substr(a + 1, b - a - 1))) o.cpu_seconds = cpu;
        }
        if (auto rss = parse_rss(line.substr(b + 1)))
            if (!o.peak_memory_bytes || *rss > *o.peak_memory_bytes) o.peak_memory_bytes = rss;
    }
}

bool client_says_out_of_memory(std::string_view err) {
    for (std::string_view mark : {"exceeded memory limit", "Exceeded job memory limit",
                                  "Exceeded step memory limit", "oom-kill", "OOM Killed"})
        if (err.find(mark) != std::string_view::npos) return true;
    return false;
}

std::optional<JobOutcome> SlurmExecutor::outcome(const JobSpec &job, std::string_view client_err) {
    const auto start = Clock::now();
    auto step = kFirstPause;
    std::optional<Listed> seen;
    while (true) {
        std::vector<Listed> jobs = listed(job);
        if (!jobs.empty()) {
            seen = jobs.back();
            if (is_final_state(seen->state) || since(start) > kFinalWait) break;
        } else if (since(start) > (seen ? kFinalWait : kAppearWait)) {
            break;
        }
        pause(step);
    }
    if (!seen) return std::nullopt;
    JobOutcome o = final_record(*seen);
    o.out_of_memory =
        o.state == "OUT_OF_MEMORY" || (o.signal == 9 && client_says_out_of_memory(client_err));
    read_accounting(o);
    return o;
}

std::optional<JobOutcome> SlurmExecutor::cancel(const JobSpec &job) {
    const auto start = Clock::now();
    auto step = kFirstPause;
    std::optional<Listed> seen;
    bool asked = false;
    while (true) {
        std::vector<Listed> jobs = listed(job);
        bool running = std::any_of(jobs.begin(), jobs.end(),
                                   [](const Listed &j) { return !is_final_state(j.state); });
        if (!jobs.empty()) seen = jobs.back();
        // A job that shows up late (its submission was under way) is cancelled too.
        if (running || !asked) {
            sb::run_command({"scancel", "--quiet", "--user=" + uid(), "--name=" + job.name},
                            kClientLimit);
            asked = true;
        } else if (!jobs.empty() || since(start) > kAppearWait) {
            break;
        }
        if (since(start) > kFinalWait) break;
        pause(step);
    }
    if (!seen) return std::nullopt;
    JobOutcome o = final_record(*seen);
    return o;
}

}  // namespace plexaro::executor::slurm
