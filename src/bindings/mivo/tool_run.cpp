// MIVO.run: one pipeline step in a fresh sandbox. Inputs are staged in, the
// argument template becomes the tool's words, the tool runs through
// `mivo exec`, one repaired attempt follows a failure, and the results are
// collected slot by slot into the caller's output directory.
#include "mivo/companion_keys.hpp"
#include "mivo/executor_settings.hpp"
#include "mivo/mivo.hpp"
#include "mivo/tool_run_cache.hpp"

#include "sandbox/fsops.hpp"
#include "sandbox/harvest.hpp"
#include "sandbox/paths.hpp"
#include "sandbox/recovery.hpp"
#include "sandbox/staging.hpp"
#include "sandbox/step_plan.hpp"
#include "sandbox/tool_run.hpp"
#include "sandbox/words.hpp"

#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace plexaro::mivo_binding {

namespace sb = plexaro::sandbox;
using namespace nb::literals;

// tool_run_fs.cpp
[[noreturn]] void raise_fs_error(const sb::FsError &e);
[[noreturn]] void raise_tree_copy_error(const sb::TreeCopyError &e);
// tool_run_recovery.cpp
void bind_recovery(nb::module_ &m, MivoClass &cls);
// tool_run_staging.cpp
sb::StagingRule staging_rule();
[[noreturn]] void raise_refused_input(const sb::RefusedInput &refused, nb::handle key);
[[noreturn]] void raise_changed_input(nb::handle tool_name, nb::handle key,
                                      const std::string &host_path, std::size_t changed);

namespace {

// Runs file-system work without the GIL; the core's failures come back as
// the host's errors.
template <typename Fn>
auto without_gil(Fn &&fn) -> decltype(fn()) {
    try {
        nb::gil_scoped_release released;
        return fn();
    } catch (const sb::FsError &e) {
        raise_fs_error(e);
    } catch (const sb::TreeCopyError &e) {
        raise_tree_copy_error(e);
    }
}

using host::truthy;

bool equals(nb::handle a, nb::handle b) { return host::compare(a, b, Py_EQ); }
bool differs(nb::handle a, nb::handle b) { return host::compare(a, b, Py_NE); }

// os.path.exists: any failure to look (bad characters included) is "no".
bool names_existing_path(nb::handle value) {
    std::string path;
    try {
        path = host::fs_path(value);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError)) return false;
        throw;
    }
    if (path.find('\0') != std::string::npos) return false;
    return sb::exists(path);
}

// The host's "{" + key + "}": only text joins text.
void require_text_key(nb::handle key) {
    if (!PyUnicode_Check(key.ptr())) {
        PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                     Py_TYPE(key.ptr())->tp_name);
        throw nb::python_error();
    }
}

nb::list str_list(const std::vector<std::string> &words) {
    nb::list out;
    for (const auto &w : words) out.append(host::from_utf8(w));
    return out;
}

// ["exec", executable, *words]
nb::list exec_words(nb::handle executable, nb::handle words) {
    nb::list cmd;
    cmd.append("exec");
    cmd.append(executable);
    for (nb::handle w : words) cmd.append(w);
    return cmd;
}

// The host's "{" + key + "}": only text joins text.
std::string key_text(nb::handle key) {
    require_text_key(key);
    return host::utf8(key);
}

// An input value sorted by kind, as the plan takes it.
sb::PlanInput plan_input(nb::handle key, nb::handle value) {
    sb::PlanInput in;
    if (PyUnicode_Check(value.ptr())) {
        if (names_existing_path(value)) {
            in.kind = sb::PlanInput::Kind::path;
            in.sources.push_back(host::fs_path(value));
        } else {
            in.kind = sb::PlanInput::Kind::scalar;
            in.text = host::utf8(value);
        }
    } else if (PyList_Check(value.ptr())) {
        for (nb::handle element : nb::borrow<nb::list>(value))
            if (PyUnicode_Check(element.ptr()) && names_existing_path(element))
                in.sources.push_back(host::fs_path(element));
        if (!in.sources.empty()) in.kind = sb::PlanInput::Kind::paths;
    } else if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) {
        in.kind = sb::PlanInput::Kind::scalar;
        in.text = host::utf8(nb::str(value));
    }
    if (in.kind == sb::PlanInput::Kind::path || in.kind == sb::PlanInput::Kind::paths) {
        host::expect_str(key);  // path inputs become file names
        in.key = host::utf8(key);
        in.key_fs = host::fs_path(key);
    } else if (in.kind == sb::PlanInput::Kind::scalar) {
        in.key = key_text(key);
    }
    return in;
}

struct Slot {
    nb::object key;
    bool is_dir = false;
    std::string fs_name;
    bool create = true;      // a directory slot made before the run
    std::string extension;   // written after the slot's name for "{slot}" (UTF-8)
    nb::object gzip_format;  // a declared "format" ending in ".gz" (else None)
};

// A format that reads as a file extension: one to four parts of ASCII
// letters and digits joined by "." ("fastq.gz", "bam", "vcf.gz").
bool format_is_extension(std::string_view format) {
    std::size_t parts = 1, run = 0;
    for (char c : format) {
        if (c == '.') {
            if (run == 0) return false;
            ++parts;
            run = 0;
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            ++run;
        } else {
            return false;
        }
    }
    return run > 0 && parts <= 4;
}

// The output record's "extension": a text (".fq.gz"; the leading "." may
// be left out) or true for "the format, as an extension". Missing, None and
// false mean none: "{slot}" is the slot's name alone.
std::string read_extension(nb::handle key, nb::handle record) {
    nb::object value = record.attr("get")("extension");
    if (value.is_none() || (PyBool_Check(value.ptr()) && !truthy(value))) return "";
    std::string owner = "output " + host::repr(key);
    std::string ext;
    if (PyBool_Check(value.ptr())) {
        nb::object format = record.attr("get")("format");
        if (!PyUnicode_Check(format.ptr()) || !format_is_extension(host::utf8(format)))
            host::raise(PyExc_ValueError,
                        "extension of " + owner + " is true, but its format " + host::repr(format) +
                            " does not read as a file extension (such as \"fastq.gz\" or "
                            "\"bam\"); give the extension itself, such as \".fq.gz\"");
        ext = "." + host::utf8(format);
    } else if (PyUnicode_Check(value.ptr())) {
        ext = host::utf8(value);
        if (!ext.empty() && ext.front() != '.') ext.insert(ext.begin(), '.');
        bool plain = ext.size() > 1;
        for (char c : ext)
            if (c == '/' || c == '\0' || c == ' ' || c == '\t' || c == '\n' || c == '\r' ||
                c == '{' || c == '}' || c == '\'' || c == '"' || c == '\\')
                plain = false;
        if (!plain)
            host::raise(PyExc_ValueError, "extension of " + owner +
                                              " must be a file extension such as \".fq.gz\" "
                                              "(no \"/\", spaces, quotes or braces), got " +
                                              host::repr(value));
    } else {
        host::raise(PyExc_TypeError, "extension of " + owner +
                                         " must be a file extension (a str such as \".fq.gz\") "
                                         "or True, got " +
                                         host::type_name(value));
    }
    return ext;
}

// The output record's "create" (directory slots): true unless it says false.
bool read_create(nb::handle key, nb::handle record) {
    nb::object value = record.attr("get")("create");
    if (value.is_none()) return true;
    if (!PyBool_Check(value.ptr()))
        host::raise(PyExc_TypeError, "create of output " + host::repr(key) +
                                         " must be True or False, got " + host::type_name(value));
    return truthy(value);
}

std::vector<Slot> output_slots(nb::handle tool_outputs) {
    std::vector<Slot> slots;
    for (nb::handle item : tool_outputs.attr("items")()) {
        nb::object key = item[0], record = item[1];
        Slot slot{key,       equals(record.attr("get")("type"), nb::str("dir")), {}, true, {},
                  nb::none()};
        if (slot.is_dir) {
            slot.create = read_create(key, record);
        } else {
            slot.extension = read_extension(key, record);
            nb::object format = record.attr("get")("format");
            if (PyUnicode_Check(format.ptr()) && host::utf8(format).size() > 3 &&
                host::utf8(format).compare(host::utf8(format).size() - 3, 3, ".gz") == 0)
                slot.gzip_format = format;
        }
        if (PyUnicode_Check(key.ptr())) {
            slot.fs_name = host::fs_path(key);
            // Slot names come from tool manifests; none may place a file
            // outside the sandbox or the output directory.
            if (sb::leaves_directory(slot.fs_name))
                host::raise(PyExc_ValueError, "Output slot name " + host::repr(key) +
                                                  " leads outside the output directory");
        } else if (slot.is_dir) {
            PyErr_Format(PyExc_TypeError,
                         "unsupported operand type(s) for /: 'PosixPath' and '%.200s'",
                         Py_TYPE(key.ptr())->tp_name);
            throw nb::python_error();
        }
        slots.push_back(std::move(slot));
    }
    return slots;
}

// Errors raised while the first failure is being handled carry it as their
// context, as when host code raises inside an except block.
[[noreturn]] void rethrow_within(nb::python_error &raised, const nb::object &first) {
    nb::object value = nb::borrow(raised.value());
    if (!value.is(first)) {
        PyObject *ctx = PyException_GetContext(value.ptr());
        if (ctx)
            Py_DECREF(ctx);
        else
            PyException_SetContext(value.ptr(), first.inc_ref().ptr());
    }
    throw;
}

// Saves a host runner's text standard output where the layer's own runner
// would have streamed it, byte for byte as it was read.
void save_text(nb::handle text, const std::string &path) {
    std::string data;
    if (host::truthy(text)) {
        nb::object encoding = host::import("locale").attr("getpreferredencoding")(false);
        nb::object raw = PyUnicode_Check(text.ptr())
                             ? text.attr("encode")(encoding, "surrogateescape")
                             : nb::object(nb::borrow(text));
        nb::bytes bytes = nb::steal<nb::bytes>(PyBytes_FromObject(raw.ptr()));
        if (!bytes.is_valid()) throw nb::python_error();
        data.assign(bytes.c_str(), bytes.size());
    }
    without_gil([&] {
        if (data.empty())
            ::unlink(path.c_str());  // nothing to keep (or left from a first attempt)
        else
            sb::write_file(path, data);
    });
}

// The staged input a "< {input}" redirection names, opened for the tool's
// standard input; None (the tool reads nothing) when it is not a regular
// file. A fresh file for every attempt, so a retry reads it from the start.
nb::object open_stdin(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return host::import("os").attr("fdopen")(fd, "rb");
    }
    if (fd >= 0) ::close(fd);
    logger.warning("Standard input %s is not a file; the tool reads nothing",
                   host::from_fs_path(path));
    return nb::none();
}

// Closes a host file object on every way out, keeping a pending error.
struct CloseOnExit {
    nb::object &file;
    ~CloseOnExit() {
        if (file.is_none()) return;
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        PyObject *r = PyObject_CallMethod(file.ptr(), "close", nullptr);
        Py_XDECREF(r);
        PyErr_Clear();
        PyErr_Restore(type, value, trace);
    }
};

// The mapping `run` returns: per slot its path (a directory slot's own
// directory) or None, then "stdout" when the standard-output text was kept.
nb::dict result_mapping(const std::vector<Slot> &slots,
                        const std::vector<std::vector<std::string>> &delivered,
                        const std::optional<std::string> &stdout_file,
                        const std::string &output_path) {
    nb::dict result;
    auto emit = [&](const std::vector<std::string> &paths, bool is_dir,
                    const std::string &fs_name) -> nb::object {
        if (paths.empty()) return nb::none();
        if (is_dir) return host::from_fs_path(sb::path_join({output_path, fs_name}));
        return host::from_fs_path(paths.front());
    };
    for (std::size_t i = 0; i < slots.size(); ++i)
        result[slots[i].key] = emit(delivered[i], slots[i].is_dir, slots[i].fs_name);
    if (stdout_file) {
        nb::str stdout_key("stdout");
        bool as_dir = false;
        for (const Slot &slot : slots)
            if (slot.is_dir && equals(slot.key, stdout_key)) as_dir = true;
        result[stdout_key] = emit({*stdout_file}, as_dir, "stdout");
    }
    return result;
}

// A failed tool's error that names a directory slot the layer made before
// the run (a tool that refuses an existing output directory) says so in
// one more line.
void note_made_directories(nb::python_error &error, const std::vector<Slot> &slots) {
    nb::object value = nb::borrow(error.value());
    nb::object args = value.attr("args");
    if (!PyTuple_Check(args.ptr()) || PyTuple_GET_SIZE(args.ptr()) != 1 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(args.ptr(), 0)))
        return;
    std::string text = host::utf8(nb::borrow(PyTuple_GET_ITEM(args.ptr(), 0)));
    for (const Slot &slot : slots) {
        if (!slot.is_dir || !slot.create || !sb::names_entry(text, slot.fs_name)) continue;
        text += "\nThe output directory " + host::repr(slot.key) +
                " was made empty before the tool ran; a tool that makes its own output "
                "directory needs \"create\": false in that output's record.";
        value.attr("args") = nb::make_tuple(host::from_utf8(text));
        return;
    }
}

// The values one run shares between its invocations, its recovery and its
// harvest.
struct Step {
    nb::handle self;
    nb::str tool_name;
    nb::dict manifest;
    std::string sandbox, stdout_path, stderr_path;
    nb::str sandbox_text;
    nb::str entrypoint_cmd;
    nb::object run_env;
    sb::StepPlan plan;
    std::vector<nb::object> input_keys;  // per StepRequest input
    std::vector<Slot> slots;
    bool has_template = false;
    const sb::StepRequest *request = nullptr;  // the plan's plain values, alive for the call
    std::string executable;                    // entrypoint_cmd in the file system's spelling
    std::string output_path;                   // the output directory, spelled as pathlib does
    std::optional<sc::CachedStep> cached;      // with the step cache or the run log
    mutable nb::object last_words;             // of the attempt that ran last
    std::vector<sb::LinkedInput> linked;       // host files staged as hard links
    bool inputs_reported = false;              // a changed input was reported
    StepExecutor executor;                     // where the tool runs
    std::string run_id;                        // in the sandbox's name and every job's
    mutable int attempts = 0;
    mutable std::optional<sc::Execution> last_execution;  // of the attempt that ran last

    // One `mivo exec` of the tool. The layer's own runner streams the
    // tool's standard output (and, for "2> {slot}", its standard error) into
    // a file; a host's runner is called as always and its text output is
    // saved there. "< {input}" gives the tool that file as standard input.
    void invoke(nb::handle words) const {
        last_words = nb::borrow(words);
        nb::list cmd = exec_words(entrypoint_cmd, words);
        nb::dict options;
        options["cwd"] = sandbox_text;
        options["env"] = run_env;
        nb::object stdin_file = nb::none();
        if (plan.stdin_name) {
            stdin_file = open_stdin(sb::path_join({sandbox, *plan.stdin_name}));
            if (!stdin_file.is_none()) options["stdin"] = stdin_file;
        }
        CloseOnExit close_stdin{stdin_file};
        ++attempts;
        last_execution.reset();
        if (uses_own_runner(self)) {
            std::optional<JobRequest> job;
            if (executor.executor) {
                job.emplace();
                job->executor = executor.executor.get();
                job->spec = executor.base;
                job->spec.name = job_name();
                job->spec.workdir = sandbox;
                if (executor.deadline) options["timeout"] = nb::float_(*executor.deadline);
            }
            RunReport report;
            try {
                run_streamed(self, cmd, options, stdout_path,
                             plan.stderr_slot ? &stderr_path : nullptr, job ? &*job : nullptr,
                             &report);
            } catch (nb::python_error &) {
                last_execution = execution_record(report);
                throw;
            }
            last_execution = execution_record(report);
        } else {
            if (executor.executor && attempts == 1)
                logger.warning("%s=%s not applied: the host replaced _run, which runs the tool",
                               kExecutorVariable, host::from_utf8(executor.executor->name()));
            nb::object proc = self.attr("_run")(cmd, **options);
            save_text(proc.attr("stdout"), stdout_path);
            if (plan.stderr_slot) save_text(proc.attr("stderr"), stderr_path);
        }
    }

    // "plexaro-<tool>-<run id>-<attempt>": unique, and recognisable in the
    // scheduler's queue.
    std::string job_name() const {
        std::string tool;
        for (char c : host::utf8(tool_name).substr(0, 40))
            tool += std::isalnum((unsigned char)c) || c == '.' || c == '_' || c == '-' ? c : '_';
        return "plexaro-" + tool + "-" + run_id + "-" + std::to_string(attempts);
    }

    // Input key -> staged sandbox path(s), as `_infer_args` receives them.
    nb::dict staged_paths() const {
        nb::dict staged;
        nb::object make_path = host::import("pathlib").attr("Path");
        for (const sb::StagedInput &s : plan.staged) {
            nb::list paths;
            for (const auto &name : s.names)
                paths.append(make_path(host::from_fs_path(sb::path_join({sandbox, name}))));
            staged[input_keys[s.input]] = s.is_list ? nb::object(paths) : nb::object(paths[0]);
        }
        return staged;
    }

    // At most one repaired attempt after the first one failed.
    void recover(nb::python_error &first_error, nb::handle clean) const {
        nb::object first = nb::borrow(first_error.value());
        try {
            switch (sb::choose_recovery(host::str(first), plan.words, has_template)) {
            case sb::Recovery::relocate: {
                nb::object relocated = self.attr("_fix_stale_abs_paths")(clean, manifest, run_env);
                if (relocated.is_none() || !differs(relocated, clean)) throw first_error;
                logger.info("Retrying with relocated paths: %s", relocated);
                try {
                    invoke(relocated);
                } catch (nb::python_error &second) {
                    if (!second.matches(PyExc_RuntimeError)) throw;
                    throw first_error;
                }
                return;
            }
            case sb::Recovery::give_up:
                // A templated tool's arguments are the manifest's: no LLM second guess.
                throw first_error;
            case sb::Recovery::infer: {
                logger.info("Positional fallback failed for %s \u2014 asking LLM for correct args",
                            tool_name);
                nb::object inferred = self.attr("_infer_args")(tool_name, manifest, staged_paths());
                if (equals(inferred, clean)) throw first_error;
                logger.info("Retrying mivo exec %s %s (LLM-inferred)", entrypoint_cmd, inferred);
                invoke(inferred);
                return;
            }
            }
        } catch (nb::python_error &raised) {
            rethrow_within(raised, first);
        }
    }

    // A tool that wrote into an input staged as a link changed the host's
    // file: the run fails (and stores nothing in the step cache).
    void check_inputs() {
        if (inputs_reported || linked.empty()) return;
        std::vector<const sb::LinkedInput *> changed =
            without_gil([&] { return sb::changed_inputs(linked); });
        if (changed.empty()) return;
        inputs_reported = true;
        raise_changed_input(tool_name, input_keys[changed.front()->input],
                            changed.front()->host_path, changed.size());
    }
    // The same while `pending` is being handled: a change is reported in its
    // place, with it as the context.
    void check_inputs_within(nb::python_error &pending) {
        try {
            check_inputs();
        } catch (nb::python_error &raised) {
            rethrow_within(raised, nb::borrow(pending.value()));
        }
    }

    // Outputs into the output directory, the sandbox removed, the outputs
    // stored in the step cache; the result mapping.
    nb::dict collect() {
        sb::HarvestRequest harvest;
        harvest.sandbox = sandbox;
        harvest.output_path = output_path;
        harvest.input_names = plan.input_names;
        std::vector<bool> handed_on(plan.staged.size(), false);
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const sb::PlanOutput &output = request->outputs[i];
            sb::SlotRule rule{slots[i].fs_name,  slots[i].is_dir, false, {},
                              output.companions, slots[i].create};
            if (output.from_input) {
                rule.from_input = true;
                if (const auto &from = plan.from_staged[i]) {
                    handed_on[*from] = true;
                    rule.input_name = plan.staged[*from].names.front();
                    const auto &declared = request->inputs[plan.staged[*from].input].companions;
                    rule.companions.insert(rule.companions.end(), declared.begin(), declared.end());
                }
            }
            harvest.slots.push_back(std::move(rule));
        }
        // Indexes a tool writes beside the inputs it was given are results
        // too, unless a slot hands that input on with them.
        for (std::size_t k = 0; k < plan.staged.size(); ++k)
            if (!handed_on[k])
                for (const std::string &name : plan.staged[k].names)
                    harvest.input_companions.push_back(
                        {name, request->inputs[plan.staged[k].input].companions});
        harvest.stdout_path = stdout_path;
        if (plan.capture_slot)
            harvest.capture_slot = host::fs_path(host::from_utf8(*plan.capture_slot));
        if (plan.stderr_slot) {
            harvest.stderr_path = stderr_path;
            harvest.stderr_slot = host::fs_path(host::from_utf8(*plan.stderr_slot));
        }
        harvest.stdout_file_name = sb::flat_name(host::fs_path(tool_name)) + "_stdout.txt";

        sb::HarvestResult harvested = without_gil([&] { return sb::harvest(harvest); });
        for (const sb::Skipped &skipped : harvested.skipped)
            logger.warning("Not collected from the sandbox: %s (%s)",
                           host::from_fs_path(skipped.path), host::from_utf8(skipped.why));
        sb::RemovalReport removal = without_gil([&] { return sb::remove_tree(sandbox); });
        if (removal.complete) {
            logger.debug("Cleaned up sandbox: %s", sandbox_text);
        } else {
            nb::list left;
            for (const std::string &name : removal.left) left.append(host::from_fs_path(name));
            logger.warning("Sandbox not fully removed: %s (%s entries left, among them %s)",
                           sandbox_text, removal.left_count, left);
        }
        warn_uncompressed(harvested.delivered);
        if (cached) keep(harvested);
        return result_mapping(slots, harvested.delivered, harvested.stdout_file, output_path);
    }

    // A slot declared as gzip data ("format": "fastq.gz") that received a
    // plain file, with no extension to tell the tool: said once, since the
    // next tool would fail far from the cause.
    void warn_uncompressed(const std::vector<std::vector<std::string>> &delivered) const {
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const Slot &slot = slots[i];
            if (!slot.gzip_format.is_valid() || slot.gzip_format.is_none() ||
                !slot.extension.empty() || delivered[i].empty() || request->outputs[i].from_input)
                continue;
            const std::string &path = delivered[i].front();
            bool gzip = without_gil([&] {
                unsigned char magic[2] = {0, 0};
                int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
                if (fd < 0) return true;  // nothing to judge
                bool empty = ::read(fd, magic, 2) <= 0;
                ::close(fd);
                return empty || (magic[0] == 0x1f && magic[1] == 0x8b);
            });
            if (!gzip)
                logger.warning(
                    "Output %s is declared as %s but is not gzip-compressed; a tool that "
                    "chooses its output type by the file name needs \"extension\" in "
                    "that output's record",
                    slot.key, slot.gzip_format);
        }
    }

    // The executable and the words of the attempt that ran last.
    std::vector<std::string> words_run() const {
        std::vector<std::string> words{executable};
        for (nb::handle w : last_words) words.push_back(host::str(w));
        return words;
    }

    // A successful run into the step cache (when on) and the run log.
    void keep(sb::HarvestResult &harvested) {
        sc::PlacedOutputs placed;
        placed.dirs = std::move(harvested.dirs_written);
        placed.files = std::move(harvested.files_written);
        for (std::size_t i = 0; i < slots.size(); ++i) {
            placed.slots.push_back({slots[i].fs_name, {}});
            for (const std::string &path : harvested.delivered[i])
                placed.slots.back().delivered.push_back(sb::relative_path(output_path, path));
        }
        if (harvested.stdout_file)
            placed.stdout_file = sb::relative_path(output_path, *harvested.stdout_file);
        std::vector<std::string> words = words_run();
        if (last_execution) cached->executed(*last_execution);
        {
            nb::gil_scoped_release released;
            cached->succeeded(std::move(words), std::move(placed));
        }
        log_cache_warnings(*cached);
    }

    // A failed run into the run log.
    void note_failure(nb::python_error &error) {
        if (last_execution) cached->executed(*last_execution);
        cached->failed(words_run(), host::str(error.value()));
        log_cache_warnings(*cached);
    }

    // The outputs of an earlier run of this step placed into the output
    // directory, when the cache holds them: the result mapping, else none.
    std::optional<nb::dict> reuse() {
        std::optional<sc::EntryRecord> entry;
        {
            nb::gil_scoped_release released;
            entry = cached->reuse();
        }
        log_cache_warnings(*cached);
        if (!entry) return std::nullopt;
        logger.info("Reusing the cached run of %s (key %s, first run %s)", tool_name,
                    host::from_utf8(*cached->key()), host::from_utf8(entry->started));
        std::vector<std::vector<std::string>> delivered;
        for (const sc::EntrySlot &slot : entry->slots) {
            delivered.emplace_back();
            for (const std::string &rel : slot.delivered)
                delivered.back().push_back(sb::path_join({output_path, rel}));
        }
        std::optional<std::string> stdout_file;
        if (entry->stdout_file) stdout_file = sb::path_join({output_path, *entry->stdout_file});
        return result_mapping(slots, delivered, stdout_file, output_path);
    }
};

// The step as the cache and the run log see it.
sc::StepFacts step_facts(const Step &step, const sb::StepRequest &request) {
    sc::StepFacts facts;
    facts.tool = host::utf8(step.tool_name);
    facts.image = manifest_image(step.manifest);
    facts.manifest = shaping_manifest_entries(step.manifest);
    // A re-locked image is another tool, whatever the manifest says.
    if (std::optional<std::string> digest = locked_image_digest(step.self, step.tool_name))
        facts.manifest.emplace_back("locked image digest", *digest);
    facts.words.push_back(request.executable);
    facts.words.insert(facts.words.end(), step.plan.words.begin(), step.plan.words.end());
    for (const sb::PlanInput &in : request.inputs)
        if (in.kind == sb::PlanInput::Kind::scalar) facts.scalars.emplace_back(in.key, in.text);
    // Every staged file counts, companions included: a rebuilt index
    // changes the step as much as changed data does.
    for (std::size_t k = 0; k < step.plan.staged.size(); ++k) {
        const sb::StagedInput &s = step.plan.staged[k];
        const std::string &key = request.inputs[s.input].key;
        for (std::size_t i = 0; i < s.sources.size(); ++i) {
            facts.inputs.push_back({key, s.sources[i], s.names[i]});
            if (k < step.plan.companions.size() && i < step.plan.companions[k].size())
                for (const sb::CompanionCopy &c : step.plan.companions[k][i])
                    facts.inputs.push_back({key, c.src, c.name});
        }
    }
    for (const Slot &slot : step.slots) facts.slots.push_back(slot.fs_name);
    return facts;
}

// Project home on the pipeline volume (created when missing), if any.
std::optional<std::string> project_home() {
    nb::object volume = host::volume_path();
    if (!truthy(volume)) return std::nullopt;
    std::string home = host::fs_path(host::os_path().attr("join")(volume, ".mivo_home"));
    without_gil([&] { sb::make_dirs(home); });
    return home;
}

// A fresh sandbox path under `root`, open to whichever user the container
// runs as. The tool name is one flat name in it, whatever it holds.
std::string new_sandbox_path(nb::handle tool_name, const std::string &root, std::string &run_id) {
    nb::object hex = host::import("uuid").attr("uuid4")().attr("hex");
    run_id = host::utf8(hex).substr(0, 12);
    return sb::path_join({root, "run-" + sb::flat_name(host::fs_path(tool_name)) + "-" + run_id});
}

// The step's plain values for the plan: inputs, output slots, template and
// executable.
sb::StepRequest step_request(Step &step, nb::dict inputs, nb::handle tool_outputs,
                             const CompanionKeys &companions) {
    sb::StepRequest request;
    nb::str output_dir_key("output_dir");
    for (auto [key, value] : inputs) {
        if (equals(key, output_dir_key)) continue;
        request.inputs.push_back(plan_input(key, value));
        step.input_keys.push_back(nb::borrow(key));
        auto declared = companions.inputs.find(request.inputs.back().key);
        if (declared != companions.inputs.end())
            request.inputs.back().companions = declared->second;
    }
    step.slots = output_slots(tool_outputs);
    for (const Slot &slot : step.slots) {
        sb::PlanOutput output{key_text(slot.key), slot.is_dir, {}, {}, {}};
        auto declared = companions.outputs.find(output.name);
        if (declared != companions.outputs.end()) {
            output.from_input = declared->second.from_input;
            output.companions = declared->second.patterns;
        }
        // A slot that hands on an input is written as that input.
        if (!output.from_input) output.extension = slot.extension;
        request.outputs.push_back(std::move(output));
    }
    nb::object template_value = host::dict_item_or(step.manifest, "args_template", nb::none());
    request.args_template =
        truthy(template_value) ? host::utf8(host::expect_str(template_value)) : "";
    step.has_template = !request.args_template.empty();
    nb::object entrypoint_value = host::dict_item_or(step.manifest, "entrypoint", nb::none());
    step.entrypoint_cmd =
        truthy(entrypoint_value) ? host::expect_str(entrypoint_value) : step.tool_name;
    request.executable = host::utf8(step.entrypoint_cmd);
    step.executable = request.executable;
    request.name_text = [](const std::string &name) {
        return host::utf8(host::from_fs_path(name));
    };
    return request;
}

nb::object run(nb::handle self, nb::handle tool_name_arg, nb::handle manifest_arg,
               nb::handle inputs_arg, nb::handle output_dir_arg) {
    Step step;
    step.self = self;
    step.tool_name = host::arg_str(tool_name_arg, "tool_name");
    step.manifest = host::arg_dict(manifest_arg, "manifest");
    nb::dict inputs = host::arg_dict(inputs_arg, "inputs");
    nb::str output_dir = host::arg_str(output_dir_arg, "output_dir");
    // Companion keys are checked before anything is made.
    CompanionKeys companion_keys = read_companion_keys(step.manifest);
    const sb::StagingRule staging = staging_rule();
    step.output_path = sb::path_join({host::fs_path(output_dir)});

    // The step cache and the run log, when the host switched them on.
    std::optional<sc::Settings> cache_settings = step_cache_settings();
    const bool cache_on = cache_settings && cache_settings->dir;

    // Where the tool runs, checked before anything is made or submitted.
    step.executor = step_executor(step.manifest);
    std::string sandboxes = sandbox_root(step.executor.executor != nullptr);

    std::optional<std::string> mivo_home = project_home();
    step.sandbox = new_sandbox_path(step.tool_name, sandboxes, step.run_id);
    step.sandbox_text = host::from_fs_path(step.sandbox);
    // The tool's standard output is kept beside the sandbox, out of its
    // reach, for as long as the call lasts (a failure's message holds its end).
    step.stdout_path = step.sandbox + ".stdout";
    struct RemoveOnExit {
        const std::string &path;
        ~RemoveOnExit() { ::unlink(path.c_str()); }
    } remove_stdout{step.stdout_path};
    step.stderr_path = step.sandbox + ".stderr";  // only for "2> {slot}"
    RemoveOnExit remove_stderr{step.stderr_path};
    auto make_sandbox = [&] {
        sb::NameSet taken;
        without_gil([&] {
            sb::make_open_dir(step.sandbox);
            if (mivo_home) sb::bring_project(*mivo_home, step.sandbox);
            for (std::string &name : sb::list_dir(step.sandbox)) taken.insert(std::move(name));
        });
        return taken;
    };
    // With the step cache the step is planned first: a hit makes no sandbox.
    sb::NameSet taken = cache_on ? without_gil([&] {
        return mivo_home ? sb::project_entries(*mivo_home) : sb::NameSet();
    })
                                 : make_sandbox();

    nb::object tool_outputs = step.manifest.contains("outputs")
                                  ? nb::object(step.manifest["outputs"])
                                  : nb::object(nb::dict());
    sb::StepRequest request = step_request(step, inputs, tool_outputs, companion_keys);
    request.taken = std::move(taken);
    step.request = &request;
    try {
        step.plan = sb::plan_step(request);
    } catch (const sb::SplitError &e) {
        host::raise(PyExc_ValueError, e.what());
    }
    for (std::size_t i = 0; i < step.slots.size(); ++i) {
        const std::optional<std::size_t> &from = step.plan.from_staged[i];
        if (from && step.plan.staged[*from].names.size() > 1)
            host::raise(PyExc_ValueError,
                        "from_input of output " + host::repr(step.slots[i].key) + " names input " +
                            host::repr(step.input_keys[step.plan.staged[*from].input]) +
                            ", which holds " +
                            std::to_string(step.plan.staged[*from].names.size()) +
                            " files; it hands on one");
    }
    // Companions found beside the inputs on the host are part of the step:
    // they enter its key and are staged with their primaries.
    without_gil([&] { sb::plan_input_companions(request, step.plan); });
    // Nothing but regular files and directories is ever opened, not even to
    // hash it for the step cache.
    try {
        without_gil([&] { sb::check_inputs(step.plan); });
    } catch (const sb::RefusedInput &refused) {
        raise_refused_input(refused, step.input_keys[refused.input]);
    }
    if (cache_settings) {
        sc::StepFacts facts = step_facts(step, request);
        {
            nb::gil_scoped_release released;
            step.cached.emplace(std::move(*cache_settings), std::move(facts), step.output_path);
        }
        log_cache_warnings(*step.cached);
    }
    if (cache_on) {
        if (std::optional<nb::dict> reused = step.reuse()) return *reused;
        make_sandbox();
    }
    try {
        without_gil([&] {
            step.linked = sb::stage(step.sandbox, step.plan, staging);
            for (const Slot &slot : step.slots)
                if (slot.is_dir && slot.create)
                    sb::make_dirs(sb::path_join({step.sandbox, slot.fs_name}));
        });
    } catch (const sb::RefusedInput &refused) {  // an input replaced since it was checked
        raise_refused_input(refused, step.input_keys[refused.input]);
    }
    step.run_env = host::import("os").attr("environ").attr("copy")();

    nb::list clean = str_list(step.plan.words);
    logger.info("Running mivo exec %s %s", step.entrypoint_cmd, clean);
    step.last_words = clean;
    try {
        try {
            try {
                step.invoke(clean);
            } catch (nb::python_error &first_error) {
                if (!first_error.matches(PyExc_RuntimeError)) throw;
                // No second attempt reads an input the first one changed.
                step.check_inputs_within(first_error);
                step.recover(first_error, clean);
            }
        } catch (nb::python_error &failed) {
            step.check_inputs_within(failed);
            throw;
        }
        step.check_inputs();
        return step.collect();
    } catch (nb::python_error &error) {
        if (error.matches(PyExc_RuntimeError)) note_made_directories(error, step.slots);
        if (step.cached) step.note_failure(error);
        throw;
    }
}

}  // namespace

void bind_tool_run(nb::module_ &m, MivoClass &cls) {
    cls.def("run", &run, host::param("tool_name"), host::param("manifest"), host::param("inputs"),
            host::param("output_dir"),
            nb::sig("def run(self, tool_name: str, manifest: dict[str, typing.Any], "
                    "inputs: dict[str, typing.Any], output_dir: str) -> dict[str, str | None]"),
            "Run one tool on the step's inputs in a fresh sandbox and collect its outputs into "
            "`output_dir`; returns output slot -> delivered path (or None), in manifest order.");
    bind_recovery(m, cls);
}

}  // namespace plexaro::mivo_binding
