// MIVO construction and the single command runner every mivo call goes through.
#include "mivo/mivo.hpp"

#include <csignal>

namespace plexaro::mivo_binding {

namespace {

using namespace nb::literals;

constexpr int kLongTimeoutSeconds = 3600;  // queries, exec, tool runs
constexpr int kPullTimeoutSeconds = 1800;  // "add" and "sync" pull images

// Value of PIPELINE_VOLUME_PATH in the process environment, "" when unset.
nb::object volume_path() {
    return host::import("os").attr("environ").attr("get")("PIPELINE_VOLUME_PATH", "");
}

bool non_empty_str(nb::handle value) {
    return PyUnicode_CheckExact(value.ptr()) && PyUnicode_GetLength(value.ptr()) > 0;
}

// "add sync ..." as the words appear in error messages.
std::string joined_words(nb::handle cmd) {
    nb::list shown;
    for (nb::handle word : cmd) shown.append(nb::str(word));
    return host::utf8(nb::str(" ").attr("join")(shown));
}

nb::object default_timeout(nb::handle cmd) {
    if (nb::len(cmd) > 0) {
        nb::object first = cmd[0];
        if (PyUnicode_CheckExact(first.ptr())) {
            std::string word = host::utf8(first);
            if (word == "add" || word == "sync") return nb::int_(kPullTimeoutSeconds);
        }
    }
    return nb::int_(kLongTimeoutSeconds);
}

// Ends mivo and everything it started. mivo runs in a process group of its
// own, so the tool or container it spawned (which may hold our pipes open)
// goes with it; a caller who chose another group gets only the child killed.
void kill_process_tree(nb::handle proc, bool own_group) {
    nb::object os = host::import("os");
    nb::object pid = proc.attr("pid");
    if (own_group) {
        try {
            os.attr("killpg")(pid, nb::int_(SIGKILL));
            return;
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ProcessLookupError) && !e.matches(PyExc_PermissionError)) throw;
        }
    }
    proc.attr("kill")();
}

// Popen.__exit__ without the wait: the pipes are ours to close.
void close_pipes(nb::handle proc) {
    for (const char *stream : {"stdin", "stdout", "stderr"}) {
        nb::object pipe = proc.attr(stream);
        if (!pipe.is_none()) {
            try { pipe.attr("close")(); } catch (nb::python_error &) {}
        }
    }
}

}  // namespace

void bind_construction_and_runner(nb::module_ &, MivoClass &cls) {
    cls.def("__init__",
            [](nb::pointer_and_handle<MIVO> self, nb::handle backend, nb::handle registry) {
                host::arg_opt_str(backend, "backend");
                host::arg_opt_str(registry, "registry");
                new (self.p) MIVO();
                nb::setattr(self.h, "backend", backend);
                nb::setattr(self.h, "registry", registry);
                nb::setattr(self.h, "_session_tools", nb::list());
                nb::object volume = volume_path();
                nb::object join = host::import("os.path").attr("join");
                bool on_volume = host::arg_bool(volume);
                nb::setattr(self.h, "_mivo_home",
                            on_volume ? join(volume, ".mivo_home") : nb::str(""));
                nb::setattr(self.h, "_image_cache",
                            on_volume ? join(volume, ".image_cache") : nb::str(""));
            },
            "backend"_a = nb::none(), "registry"_a = nb::none(),
            "A handle on mivo; `backend` and `registry` are passed to the commands that take them.");

    cls.def("_base_args",
            [](nb::handle self) -> nb::list {
                nb::list words;
                nb::object backend = self.attr("backend");
                if (non_empty_str(backend)) {
                    words.append("--backend");
                    words.append(backend);
                }
                nb::object registry = self.attr("registry");
                if (non_empty_str(registry)) {
                    words.append("--registry");
                    words.append(registry);
                }
                return words;
            },
            "The --backend/--registry words this object was configured with.");

    cls.def(
        "_run",
        [](nb::handle self, nb::handle cmd_arg, nb::kwargs options) -> nb::object {
            nb::list cmd = host::arg_list(cmd_arg, "cmd");
            nb::object os = host::import("os");
            nb::object subprocess = host::import("subprocess");

            // Output is always captured as text below; these would only conflict.
            for (const char *ignored : {"check", "capture_output", "text"})
                if (options.contains(ignored)) PyDict_DelItemString(options.ptr(), ignored);

            if (!options.contains("cwd")) {
                nb::object volume = volume_path();
                nb::object project =
                    host::arg_bool(volume)
                        ? host::import("os.path").attr("join")(volume, ".mivo_home")
                        : host::import("tempfile").attr("mkdtemp")("prefix"_a = "mivo_");
                os.attr("makedirs")(project, "exist_ok"_a = true);
                options["cwd"] = project;
            }
            logger.debug("run cwd=%s cmd=%s", options["cwd"], cmd);

            nb::object env;
            if (options.contains("env")) {
                env = options["env"];
                PyDict_DelItemString(options.ptr(), "env");
            }
            // env=None means "inherit" to the process start; complete a copy then.
            if (!env.is_valid() || env.is_none()) env = os.attr("environ").attr("copy")();

            if (!nb::cast<bool>(env.attr("__contains__")("MIVO_REGISTRY"))) {
                nb::object registry = self.attr("registry");
                env["MIVO_REGISTRY"] =
                    non_empty_str(registry) ? registry : nb::object(nb::str(kDefaultRegistry));
            }
            nb::object volume = volume_path();
            if (host::arg_bool(volume)) {
                nb::object cache = volume + nb::str("/.apptainer_cache");
                os.attr("makedirs")(cache, "exist_ok"_a = true);
                env["APPTAINER_CACHEDIR"] = cache;
                env["SINGULARITY_CACHEDIR"] = cache;
            }
            env["APPTAINER_NO_USERNS"] = "1";
            env["APPTAINER_ROOTLESS"] = "1";
            options["env"] = env;

            nb::object timeout;
            if (options.contains("timeout")) {
                timeout = options["timeout"];
                PyDict_DelItemString(options.ptr(), "timeout");
            } else {
                timeout = default_timeout(cmd);
            }

            // The process start of subprocess.run, with capture as text.
            if (options.contains("stdout") || options.contains("stderr"))
                host::raise(PyExc_ValueError,
                            "stdout and stderr arguments may not be used with capture_output.");
            nb::object input = nb::none();
            if (options.contains("input")) {
                input = options["input"];
                PyDict_DelItemString(options.ptr(), "input");
                if (!input.is_none()) {
                    if (options.contains("stdin"))
                        host::raise(PyExc_ValueError,
                                    "stdin and input arguments may not both be used.");
                    options["stdin"] = subprocess.attr("PIPE");
                }
            }
            options["stdout"] = subprocess.attr("PIPE");
            options["stderr"] = subprocess.attr("PIPE");
            options["text"] = true;
            bool own_group;
            if (options.contains("process_group"))
                own_group = false;
            else if (options.contains("start_new_session"))
                own_group = host::arg_bool(options["start_new_session"]);
            else
                own_group = true, options["start_new_session"] = true;

            nb::list argv;
            argv.append("mivo");
            for (nb::handle word : cmd) argv.append(word);

            nb::object proc = subprocess.attr("Popen")(argv, **options);
            nb::object out, err;
            try {
                nb::object streams = proc.attr("communicate")(input, "timeout"_a = timeout);
                out = streams[0];
                err = streams[1];
            } catch (nb::python_error &e) {
                bool timed_out = e.matches(subprocess.attr("TimeoutExpired"));
                // Timed out or interrupted (KeyboardInterrupt included): nothing
                // mivo started may outlive the call.
                try {
                    kill_process_tree(proc, own_group);
                    proc.attr("wait")();
                } catch (nb::python_error &) {
                }
                close_pipes(proc);
                if (timed_out) {
                    std::string message = "mivo " + joined_words(cmd) + " timed out after " +
                                          host::str(timeout) + "s \u2014 image pull may have stalled";
                    nb::raise_from(e, PyExc_RuntimeError, "%s", message.c_str());
                }
                throw;
            }
            close_pipes(proc);
            nb::object returncode = proc.attr("wait")();
            nb::object result =
                subprocess.attr("CompletedProcess")(proc.attr("args"), returncode, out, err);

            if (host::arg_bool(err))
                logger.warning("stderr: %s", err.attr("rstrip")());
            if (!returncode.equal(nb::int_(0))) {
                std::string message = "mivo " + joined_words(cmd) + " failed (exit " +
                                      host::str(returncode) + "):\nSTDOUT: " + host::str(out) +
                                      "\nSTDERR: " + host::str(err);
                host::raise(PyExc_RuntimeError, message);
            }
            return result;
        },
        "cmd"_a.none(), "options"_a,
        "Run `mivo` with the words of `cmd` in the project directory, with mivo's environment "
        "and time limit; returns the subprocess.CompletedProcess, raises RuntimeError on "
        "failure or time-out.");
}

}  // namespace plexaro::mivo_binding
