// MIVO construction and the single command runner every mivo call goes through.
#include "mivo/executor_settings.hpp"
#include "mivo/mivo.hpp"

#include "sandbox/process.hpp"
#include "sandbox/streams.hpp"

#include <optional>
#include <sys/wait.h>
#include <unistd.h>

namespace plexaro::mivo_binding {

namespace {

using namespace nb::literals;
namespace sb = plexaro::sandbox;

// Seconds the output streams get once mivo itself has ended: a background
// child still holding them is ended after that.
constexpr double kStreamGraceSeconds = 2.0;

// The layer's own `_run`, kept when the class is bound, so a tool run can
// tell it from a host's replacement.
PyObject *own_run_function = nullptr;

// "add sync ..." as the words appear in error messages.
std::string joined_words(nb::handle cmd) {
    nb::list shown;
    for (nb::handle word : cmd) shown.append(nb::str(word));
    return host::utf8(nb::str(" ").attr("join")(shown));
}

nb::object default_timeout(nb::handle cmd) {
    std::string first;
    if (nb::len(cmd) > 0) {
        nb::object word = cmd[0];
        if (PyUnicode_CheckExact(word.ptr())) first = host::utf8(word);
    }
    return nb::int_(sb::default_time_limit(first));
}

// A program's bytes as the host's text-mode pipes would read them (locale
// encoding, universal newlines), except that bytes that do not decode
// become U+FFFD instead of failing: output may be binary.
nb::str decoded(std::string_view data) {
    nb::object encoding = host::import("locale").attr("getpreferredencoding")(false);
    nb::object text = nb::bytes(data.data(), data.size()).attr("decode")(encoding, "replace");
    if (data.find('\r') != std::string_view::npos)
        text = text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
    return nb::borrow<nb::str>(text);
}

nb::object pop(nb::dict options, const char *key) {
    nb::object value = options[key];
    PyDict_DelItemString(options.ptr(), key);
    return value;
}

void close_pipes(nb::handle proc) {
    for (const char *stream : {"stdin", "stdout", "stderr"}) {
        nb::object pipe = proc.attr(stream);
        if (!pipe.is_none()) {
            try {
                pipe.attr("close")();
            } catch (nb::python_error &) {
            }
        }
    }
}

int pipe_fd(nb::handle proc, const char *stream) {
    nb::object pipe = proc.attr(stream);
    return pipe.is_none() ? -1 : nb::cast<int>(pipe.attr("fileno")());
}

// The returncode the host's Popen gives for a wait status.
int host_returncode(int status) {
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

std::string scheduler_title(const ex::Executor &executor) {
    std::string name = executor.name();
    if (!name.empty()) name[0] = (char)std::toupper((unsigned char)name[0]);
    return name;
}

// Everything `_run` does. With `stdout_path`, mivo's standard output goes
// straight into that file (the record's stdout is then empty) instead of
// into memory; `stderr_path` does the same for standard error. With `job`,
// mivo runs as that scheduler job; `report` then receives the job's final
// record (or, without a job, the child's resource use), also when the call
// raises.
nb::object run_mivo(nb::handle self, nb::handle cmd_arg, nb::dict options,
                    const std::string *stdout_path, const std::string *stderr_path = nullptr,
                    const JobRequest *job = nullptr, RunReport *report = nullptr) {
    nb::list cmd = host::arg_list(cmd_arg, "cmd");
    nb::object os = host::import("os");
    nb::object subprocess = host::import("subprocess");

    // Output is always captured below; these would only conflict.
    for (const char *ignored : {"check", "capture_output", "text"})
        if (options.contains(ignored)) PyDict_DelItemString(options.ptr(), ignored);

    if (!options.contains("cwd")) {
        nb::object volume = host::volume_path();
        nb::object project = host::truthy(volume)
                                 ? host::os_path().attr("join")(volume, ".mivo_home")
                                 : host::import("tempfile").attr("mkdtemp")("prefix"_a = "mivo_");
        os.attr("makedirs")(project, "exist_ok"_a = true);
        options["cwd"] = project;
    }
    logger.debug("run cwd=%s cmd=%s", options["cwd"], cmd);

    nb::object env;
    if (options.contains("env")) env = pop(options, "env");
    // env=None means "inherit" to the process start; complete a copy then.
    if (!env.is_valid() || env.is_none()) env = os.attr("environ").attr("copy")();
    if (!nb::cast<bool>(env.attr("__contains__")("MIVO_REGISTRY"))) {
        nb::object registry = self.attr("registry");
        env["MIVO_REGISTRY"] = host::is_nonempty_exact_str(registry)
                                   ? registry
                                   : nb::object(nb::str(kDefaultRegistry));
    }
    nb::object volume = host::volume_path();
    if (host::truthy(volume)) {
        nb::object cache = volume + nb::str("/.apptainer_cache");
        os.attr("makedirs")(cache, "exist_ok"_a = true);
        env["APPTAINER_CACHEDIR"] = cache;
        env["SINGULARITY_CACHEDIR"] = cache;
    }
    env["APPTAINER_NO_USERNS"] = "1";
    env["APPTAINER_ROOTLESS"] = "1";
    options["env"] = env;

    nb::object timeout =
        options.contains("timeout") ? pop(options, "timeout") : default_timeout(cmd);

    // The process start of subprocess.run with captured output.
    if (options.contains("stdout") || options.contains("stderr"))
        host::raise(PyExc_ValueError,
                    "stdout and stderr arguments may not be used with capture_output.");
    sb::Watch watch;
    if (options.contains("input")) {
        nb::object input = pop(options, "input");
        if (!input.is_none()) {
            if (options.contains("stdin"))
                host::raise(PyExc_ValueError, "stdin and input arguments may not both be used.");
            options["stdin"] = subprocess.attr("PIPE");
            nb::object data = input;
            if (PyUnicode_Check(input.ptr()))
                data = input.attr("encode")(
                    host::import("locale").attr("getpreferredencoding")(false));
            nb::bytes raw = nb::steal<nb::bytes>(PyBytes_FromObject(data.ptr()));
            if (!raw.is_valid()) throw nb::python_error();
            watch.stdin_data.assign(raw.c_str(), raw.size());
        }
    }
    // Never the host's terminal: a tool that reads its input gets none.
    if (!options.contains("stdin")) options["stdin"] = subprocess.attr("DEVNULL");

    std::optional<nb::object> stdout_file;
    if (stdout_path) {
        stdout_file =
            nb::module_::import_("builtins").attr("open")(host::from_fs_path(*stdout_path), "wb");
        options["stdout"] = *stdout_file;
    } else {
        options["stdout"] = subprocess.attr("PIPE");
    }
    std::optional<nb::object> stderr_file;
    if (stderr_path) {
        stderr_file =
            nb::module_::import_("builtins").attr("open")(host::from_fs_path(*stderr_path), "wb");
        options["stderr"] = *stderr_file;
    } else {
        options["stderr"] = subprocess.attr("PIPE");
    }
    // A process group of its own, so a time-out ends everything mivo started
    // (the tool or container, which may hold our pipes). A caller who chose
    // the group or session keeps that choice.
    if (options.contains("process_group"))
        watch.own_group = false;
    else if (options.contains("start_new_session"))
        watch.own_group = host::truthy(options["start_new_session"]);
    else
        watch.own_group = true, options["process_group"] = 0;

    nb::list argv;
    if (job) {
        std::vector<std::string> words{"mivo"};
        for (nb::handle word : cmd) words.push_back(host::fs_path(word));
        for (const std::string &word : job->executor->wrap(job->spec, words))
            argv.append(host::from_fs_path(word));
        logger.debug("as %s job %s: %s", host::from_utf8(job->executor->name()),
                     host::from_utf8(job->spec.name), argv);
    } else {
        argv.append("mivo");
        for (nb::handle word : cmd) argv.append(word);
    }
    RunReport ignored;
    if (!report) report = &ignored;
    report->scheduled = job != nullptr;
    report->executor = job ? job->executor->name() : "local";

    nb::object proc;
    try {
        proc = subprocess.attr("Popen")(argv, **options);
    } catch (...) {
        if (stdout_file) stdout_file->attr("close")();
        if (stderr_file) stderr_file->attr("close")();
        throw;
    }
    // The child holds its own copies.
    if (stdout_file) stdout_file->attr("close")();
    if (stderr_file) stderr_file->attr("close")();

    watch.pid = nb::cast<int>(proc.attr("pid"));
    watch.stdout_fd = pipe_fd(proc, "stdout");
    watch.stderr_fd = pipe_fd(proc, "stderr");
    if (!proc.attr("stdin").is_none()) {
        // The watch owns (and closes) a copy, so mivo sees the end of its input.
        watch.stdin_fd = ::dup(pipe_fd(proc, "stdin"));
        proc.attr("stdin").attr("close")();
    }
    if (!timeout.is_none()) watch.limit = nb::cast<double>(nb::float_(timeout));
    watch.grace = kStreamGraceSeconds;
    watch.reap = true;  // for its exit status and what it used
    std::optional<nb::python_error> pending;
    watch.interrupted = [&pending] {
        nb::gil_scoped_acquire held;
        if (PyErr_CheckSignals() == 0) return false;
        pending.emplace();
        return true;
    };

    sb::WatchResult watched;
    {
        nb::gil_scoped_release released;
        watched = sb::watch(watch);
    }
    close_pipes(proc);
    if (watched.wait_status)
        nb::setattr(proc, "returncode", nb::int_(host_returncode(*watched.wait_status)));
    nb::object returncode = proc.attr("wait")();
    if (!job) report->usage = watched.usage;
    // A job whose client was ended (time-out, interruption) is cancelled and
    // waited for: no job outlives the call that started it.
    std::string job_line;
    if (job && watched.end != sb::WatchResult::End::exited) {
        {
            nb::gil_scoped_release released;
            report->job = job->executor->cancel(job->spec);
        }
        job_line =
            report->job
                ? ex::describe_outcome(scheduler_title(*job->executor), job->spec, *report->job)
                : scheduler_title(*job->executor) + " job " + job->spec.name + " was not submitted";
    }
    if (pending) throw *pending;  // interrupted: everything mivo started is gone
    if (watched.end == sb::WatchResult::End::timed_out) {
        std::string message = "mivo " + joined_words(cmd) + " timed out after " +
                              host::str(timeout) + "s \u2014 image pull may have stalled";
        if (job) message += "\n" + job_line;
        host::raise(PyExc_RuntimeError, message);
    }
    if (watched.ended_leftovers)
        logger.debug("ended what mivo left running after it exited: %s", cmd);

    nb::str out = decoded(watched.out), err = decoded(watched.err);
    nb::object result =
        subprocess.attr("CompletedProcess")(proc.attr("args"), returncode, out, err);
    if (host::truthy(err)) logger.warning("stderr: %s", err.attr("rstrip")());
    std::string err_tail;
    if (job) {
        // The job's own end, from the scheduler: its client's exit status
        // alone can read 0 for a job that was cancelled.
        err_tail = stderr_path ? sb::file_tail(*stderr_path) : sb::stream_tail(watched.err);
        {
            nb::gil_scoped_release released;
            report->job = job->executor->outcome(job->spec, err_tail);
        }
        if (report->job) {
            job_line =
                ex::describe_outcome(scheduler_title(*job->executor), job->spec, *report->job);
            logger.debug("%s", host::from_utf8(job_line));
        } else {
            job_line = scheduler_title(*job->executor) + " has no record of job " + job->spec.name;
        }
    }
    bool job_failed = job && (!report->job || !report->job->succeeded());
    if (!returncode.equal(nb::int_(0)) || job_failed) {
        nb::object shown_status = returncode;
        if (report->job && (report->job->exit_code || report->job->signal))
            shown_status = nb::int_(report->job->exit_code ? report->job->exit_code
                                                           : 128 + report->job->signal);
        std::string out_tail =
            stdout_path ? sb::file_tail(*stdout_path) : sb::stream_tail(watched.out);
        std::string message = "mivo " + joined_words(cmd) + " failed (exit " +
                              host::str(shown_status) +
                              "):\nSTDOUT: " + host::utf8(decoded(out_tail)) + "\nSTDERR: " +
                              host::utf8(decoded(stderr_path ? sb::file_tail(*stderr_path)
                                                             : sb::stream_tail(watched.err)));
        if (job) message += "\n" + job_line;
        host::raise(PyExc_RuntimeError, message);
    }
    return result;
}

}  // namespace

bool uses_own_runner(nb::handle self) {
    nb::object dict = nb::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!dict.is_valid()) {
        PyErr_Clear();
    } else if (PyDict_GetItemString(dict.ptr(), "_run")) {
        return false;  // replaced on the instance
    }
    nb::object found = nb::getattr(nb::handle((PyObject *)Py_TYPE(self.ptr())), "_run", nb::none());
    return found.ptr() == own_run_function;
}

void run_streamed(nb::handle self, nb::handle cmd, nb::dict options, const std::string &stdout_path,
                  const std::string *stderr_path, const JobRequest *job, RunReport *report) {
    run_mivo(self, cmd, options, &stdout_path, stderr_path, job, report);
}

void bind_construction_and_runner(nb::module_ &, MivoClass &cls) {
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<MIVO> self, nb::handle backend, nb::handle registry) {
            host::arg_opt_str(backend, "backend");
            host::arg_opt_str(registry, "registry");
            new (self.p) MIVO();
            nb::setattr(self.h, "backend", backend);
            nb::setattr(self.h, "registry", registry);
            nb::setattr(self.h, "_session_tools", nb::list());
            nb::object volume = host::volume_path();
            nb::object join = host::os_path().attr("join");
            bool on_volume = host::truthy(volume);
            nb::setattr(self.h, "_mivo_home", on_volume ? join(volume, ".mivo_home") : nb::str(""));
            nb::setattr(self.h, "_image_cache",
                        on_volume ? join(volume, ".image_cache") : nb::str(""));
        },
        "backend"_a = nb::none(), "registry"_a = nb::none(),
        nb::sig("def __init__(self, backend: str | None = None, registry: str | None = None) "
                "-> None"),
        "A handle on mivo; `backend` and `registry` are passed to the commands that take them.");

    cls.def(
        "_base_args",
        [](nb::handle self) -> nb::list {
            nb::list words;
            nb::object backend = self.attr("backend");
            if (host::is_nonempty_exact_str(backend)) {
                words.append("--backend");
                words.append(backend);
            }
            nb::object registry = self.attr("registry");
            if (host::is_nonempty_exact_str(registry)) {
                words.append("--registry");
                words.append(registry);
            }
            return words;
        },
        nb::sig("def _base_args(self) -> list[str]"),
        "The --backend/--registry words this object was configured with.");

    cls.def(
        "_run",
        [](nb::handle self, nb::handle cmd, nb::kwargs options) -> nb::object {
            return run_mivo(self, cmd, options, nullptr);
        },
        "cmd"_a.none(), "options"_a,
        nb::sig("def _run(self, cmd: list[str], **options: typing.Any) -> "
                "subprocess.CompletedProcess[str]"),
        "Run `mivo` with the words of `cmd` in the project directory, with mivo's environment "
        "and time limit; returns the subprocess.CompletedProcess, raises RuntimeError on "
        "failure or time-out.");
    own_run_function = nb::getattr(cls, "_run").inc_ref().ptr();
}

}  // namespace plexaro::mivo_binding
