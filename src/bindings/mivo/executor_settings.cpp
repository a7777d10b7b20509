#include "mivo/executor_settings.hpp"

#include "sandbox/words.hpp"

#include <unistd.h>

namespace plexaro::mivo_binding {

namespace {

namespace sb = plexaro::sandbox;

// os.environ.get(name) as text; "" when unset.
std::string setting(const char *name) {
    nb::object value = host::import("os").attr("environ").attr("get")(name);
    return value.is_none() ? std::string() : host::utf8(value);
}

[[noreturn]] void bad_request(const char *key, const char *what, nb::handle value) {
    host::raise(PyExc_ValueError, std::string("manifest \"") + key + "\" must be " + what +
                                      "; got " + host::repr(value));
}

// The manifest's value under `key`; none when absent or None.
std::optional<nb::object> request(nb::dict manifest, const char *key) {
    nb::object value = host::dict_item_or(manifest, key, nb::none());
    if (value.is_none()) return std::nullopt;
    return value;
}

bool is_int(nb::handle value) { return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()); }

ex::Resources resources(nb::dict manifest) {
    ex::Resources r;
    if (auto cpus = request(manifest, "cpus")) {
        const char *what = "a positive whole number of CPUs";
        long long n = 0;
        if (is_int(*cpus)) {
            n = PyLong_AsLongLong(cpus->ptr());
            if (n == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                bad_request("cpus", what, *cpus);
            }
        } else if (PyUnicode_Check(cpus->ptr())) {
            std::string text = host::utf8(*cpus);
            if (text.empty() || text.size() > 6 ||
                text.find_first_not_of("0123456789") != std::string::npos)
                bad_request("cpus", what, *cpus);
            n = std::stoll(text);
        } else {
            bad_request("cpus", what, *cpus);
        }
        if (n < 1 || n > 100000) bad_request("cpus", what, *cpus);
        r.cpus = (unsigned)n;
    }
    if (auto memory = request(manifest, "memory")) {
        const char *what = "a size such as \"8G\" or \"500M\"";
        if (!PyUnicode_Check(memory->ptr())) bad_request("memory", what, *memory);
        r.memory_mb = ex::parse_memory_mb(host::utf8(*memory));
        if (!r.memory_mb) bad_request("memory", what, *memory);
    }
    if (auto time = request(manifest, "time")) {
        const char *what = "a duration such as \"90m\", \"2h\" or \"1-00:00:00\"";
        if (!PyUnicode_Check(time->ptr())) bad_request("time", what, *time);
        r.time_seconds = ex::parse_time_seconds(host::utf8(*time));
        if (!r.time_seconds) bad_request("time", what, *time);
    }
    if (auto gpu = request(manifest, "gpu_required")) r.gpu = host::truthy(*gpu);
    return r;
}

}  // namespace

StepExecutor step_executor(nb::dict manifest) {
    StepExecutor step;
    std::string name = setting(kExecutorVariable);
    if (name.empty() || name == "local") return step;
    step.executor = ex::make_executor(name);
    if (!step.executor)
        host::raise(PyExc_ValueError, std::string(kExecutorVariable) +
                                          " must be \"local\" or \"slurm\"; got " +
                                          host::repr(host::from_utf8(name)));
    step.base.resources = resources(manifest);
    step.base.partition = setting(kPartitionVariable);
    step.base.account = setting(kAccountVariable);
    try {
        step.base.extra_args = sb::split_words(setting(kSchedulerArgsVariable));
    } catch (const sb::SplitError &e) {
        host::raise(PyExc_ValueError, std::string(kSchedulerArgsVariable) + ": " + e.what());
    }
    // The scheduler keeps whole minutes and checks them now and then: the
    // layer ends the job itself once its time is up (a minute later for a
    // longer job, so the scheduler's own TIMEOUT is what usually shows).
    if (auto seconds = step.base.resources.time_seconds)
        step.deadline = (double)*seconds + (*seconds >= 60 ? 60.0 : 0.0);
    return step;
}

std::string sandbox_root(bool scheduled) {
    std::string chosen = setting(kSandboxDirVariable);
    if (!chosen.empty()) return host::fs_path(host::from_utf8(chosen));
    if (!scheduled)
        return host::fs_path(host::os_path().attr("join")(
            host::import("tempfile").attr("gettempdir")(), "plexaro_sandboxes"));
    nb::object volume = host::volume_path();
    if (!host::truthy(volume))
        host::raise(PyExc_RuntimeError,
                    std::string("PLEXARO_EXECUTOR=") + setting(kExecutorVariable) +
                        " runs tools on compute nodes, which cannot see this machine's temporary "
                        "directory: set " +
                        kSandboxDirVariable +
                        " to a directory the nodes share (or PIPELINE_VOLUME_PATH to the "
                        "pipeline volume)");
    return host::fs_path(host::os_path().attr("join")(volume, ".plexaro_sandboxes"));
}

plexaro::stepcache::Execution execution_record(const RunReport &report) {
    plexaro::stepcache::Execution e;
    e.executor = report.executor;
    if (report.scheduled) {
        if (report.job) {
            e.job_id = report.job->id;
            if (!report.job->node.empty() && report.job->node != "(null)")
                e.node = report.job->node;
            e.state = report.job->state;
            e.cpu_seconds = report.job->cpu_seconds;
            e.peak_memory = report.job->peak_memory_bytes;
        }
        return e;
    }
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0) e.node = std::string(name);
    if (report.usage) {
        e.cpu_seconds = report.usage->cpu_seconds;
        e.peak_memory = report.usage->peak_rss_bytes;
    }
    return e;
}

}  // namespace plexaro::mivo_binding
