// MIVO.run: one pipeline step in a fresh sandbox. Inputs are copied in, the
// argument template becomes the tool's words, the tool runs through
// `mivo exec`, one repaired attempt follows a failure, and the results are
// collected slot by slot into the caller's output directory.
#include "mivo/mivo.hpp"

#include "sandbox/command_line.hpp"
#include "sandbox/fsops.hpp"
#include "sandbox/paths.hpp"
#include "sandbox/tool_run.hpp"
#include "sandbox/words.hpp"

#include <optional>

namespace plexaro::mivo_binding {

namespace sb = plexaro::sandbox;
using namespace nb::literals;

// tool_run_fs.cpp
[[noreturn]] void raise_fs_error(const sb::FsError &e);
[[noreturn]] void raise_tree_copy_error(const sb::TreeCopyError &e);
// tool_run_recovery.cpp
void bind_recovery(nb::module_ &m, MivoClass &cls);

namespace {

// Runs file-system work without the GIL; the core's failures come back as
// the host's errors.
template <typename Fn> auto without_gil(Fn &&fn) -> decltype(fn()) {
    try {
        nb::gil_scoped_release released;
        return fn();
    } catch (const sb::FsError &e) {
        raise_fs_error(e);
    } catch (const sb::TreeCopyError &e) {
        raise_tree_copy_error(e);
    }
}

bool truthy(nb::handle value) { return host::arg_bool(value); }

bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool differs(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

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

nb::object get_or(nb::dict mapping, const char *key, nb::handle fallback) {
    PyObject *v = PyDict_GetItemString(mapping.ptr(), key);
    if (!v) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(fallback);
    }
    return nb::borrow(v);
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

// One input's staged place(s), in input order.
struct Staged {
    nb::object key;
    bool is_list = false;
    std::vector<std::string> paths;  // file-system spelling
};

// The final component of a staged path as host text.
nb::str staged_name(const std::string &path) { return host::from_fs_path(sb::path_name(path)); }

struct Slot {
    nb::object key;
    bool is_dir = false;
    std::string fs_name;  // set for text names
};

// Errors raised while the first failure is being handled carry it as their
// context, as when host code raises inside an except block.
[[noreturn]] void rethrow_within(nb::python_error &raised, const nb::object &first) {
    nb::object value = nb::borrow(raised.value());
    if (!value.is(first)) {
        PyObject *ctx = PyException_GetContext(value.ptr());
        if (ctx) Py_DECREF(ctx);
        else PyException_SetContext(value.ptr(), first.inc_ref().ptr());
    }
    throw;
}

nb::object run(nb::handle self, nb::handle tool_name_arg, nb::handle manifest_arg,
               nb::handle inputs_arg, nb::handle output_dir_arg) {
    nb::str tool_name = host::arg_str(tool_name_arg, "tool_name");
    nb::dict manifest = host::arg_dict(manifest_arg, "manifest");
    nb::dict inputs = host::arg_dict(inputs_arg, "inputs");
    nb::str output_dir = host::arg_str(output_dir_arg, "output_dir");

    nb::object os = host::import("os");
    nb::object os_path = host::import("os.path");

    // Project home on the pipeline volume, when there is one.
    nb::object volume = os.attr("environ").attr("get")("PIPELINE_VOLUME_PATH", "");
    std::optional<std::string> mivo_home;
    if (truthy(volume)) {
        mivo_home = host::fs_path(os_path.attr("join")(volume, ".mivo_home"));
        without_gil([&] { sb::make_dirs(*mivo_home); });
    }

    // A fresh sandbox every call, open to whichever user the container runs as.
    nb::object hex = host::import("uuid").attr("uuid4")().attr("hex");
    std::string run_id = host::utf8(hex).substr(0, 12);
    std::string sandbox = sb::path_join({host::fs_path(host::import("tempfile").attr("gettempdir")()),
                                         "plexaro_sandboxes",
                                         "run-" + host::fs_path(tool_name) + "-" + run_id});
    nb::str sandbox_text = host::from_fs_path(sandbox);
    without_gil([&] {
        sb::make_open_dir(sandbox);
        if (mivo_home) sb::bring_project(*mivo_home, sandbox);
    });

    nb::object tool_outputs = manifest.contains("outputs") ? nb::object(manifest["outputs"])
                                                          : nb::object(nb::dict());

    // Staging plan: which input paths go in, under which key.
    nb::str output_dir_key("output_dir");
    std::vector<sb::StageRequest> requests;
    std::vector<Staged> staged;
    std::optional<nb::object> bad_key;  // a path input whose key is not text
    for (auto [key, value] : inputs) {
        if (equals(key, output_dir_key)) continue;
        std::vector<std::string> sources;
        bool is_list = false;
        if (PyUnicode_Check(value.ptr())) {
            if (names_existing_path(value)) sources.push_back(host::fs_path(value));
        } else if (PyList_Check(value.ptr())) {
            is_list = true;
            for (nb::handle element : nb::borrow<nb::list>(value))
                if (PyUnicode_Check(element.ptr()) && names_existing_path(element))
                    sources.push_back(host::fs_path(element));
        }
        if (sources.empty()) continue;
        if (!PyUnicode_CheckExact(key.ptr())) {
            bad_key = nb::borrow(key);
            break;
        }
        std::string key_fs = host::fs_path(key);
        Staged entry{nb::borrow(key), is_list, {}};
        for (auto &src : sources) requests.push_back({std::move(src), key_fs});
        entry.paths.resize(is_list ? sources.size() : 1);
        staged.push_back(std::move(entry));
    }
    std::vector<std::string> landed =
        without_gil([&] { return sb::stage_inputs(sandbox, requests); });
    if (bad_key) host::expect_str(*bad_key);
    {
        std::size_t next = 0;
        for (Staged &entry : staged)
            for (auto &p : entry.paths) p = landed[next++];
    }
    sb::NameSet input_names;
    nb::set staged_keys;
    for (const Staged &entry : staged) {
        staged_keys.add(entry.key);
        for (const auto &p : entry.paths) input_names.emplace(sb::path_name(p));
    }

    // Output slots in manifest order; directory slots exist before the tool runs.
    std::vector<Slot> slots;
    for (nb::handle item : tool_outputs.attr("items")()) {
        nb::object key = item[0], record = item[1];
        Slot slot{key, equals(record.attr("get")("type"), nb::str("dir")), {}};
        if (PyUnicode_Check(key.ptr())) {
            slot.fs_name = host::fs_path(key);
            // Slot names come from tool manifests; none may place a file
            // outside the sandbox or the output directory.
            if (sb::leaves_directory(slot.fs_name))
                host::raise(PyExc_ValueError, "Output slot name " + host::repr(key) +
                                                  " leads outside the output directory");
        } else if (slot.is_dir) {
            PyErr_Format(PyExc_TypeError, "unsupported operand type(s) for /: 'PosixPath' and '%.200s'",
                         Py_TYPE(key.ptr())->tp_name);
            throw nb::python_error();
        }
        slots.push_back(std::move(slot));
    }
    without_gil([&] {
        for (const Slot &slot : slots)
            if (slot.is_dir) sb::make_dirs(sb::path_join({sandbox, slot.fs_name}));
    });

    nb::object template_value = get_or(manifest, "args_template", nb::none());
    std::string tmpl = truthy(template_value) ? host::utf8(host::expect_str(template_value)) : "";

    // Placeholder texts: staged inputs by file name, output slots by their
    // own name, then scalars.
    nb::dict slot_paths;
    for (const Staged &entry : staged) {
        nb::list names;
        for (const auto &p : entry.paths) names.append(staged_name(p));
        slot_paths[entry.key] = nb::str(" ").attr("join")(names);
    }
    for (const Slot &slot : slots) slot_paths[slot.key] = slot.key;
    nb::dict scalar_values;
    for (auto [key, value] : inputs) {
        if (equals(key, output_dir_key) || contains(staged_keys, key) || contains(tool_outputs, key))
            continue;
        if (PyUnicode_Check(value.ptr())) scalar_values[key] = value;
        else if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) scalar_values[key] = nb::str(value);
    }
    std::vector<std::pair<std::string, std::string>> replacements;
    for (nb::dict table : {slot_paths, scalar_values})
        for (auto [key, text] : table) {
            require_text_key(key);
            replacements.emplace_back(host::utf8(key), host::utf8(text));
        }
    std::string resolved = sb::substitute(tmpl, replacements);

    std::vector<std::string> tokens;
    try {
        tokens = sb::split_words(resolved);
    } catch (const sb::SplitError &e) {
        host::raise(PyExc_ValueError, e.what());
    }
    sb::NameSet slot_names;
    for (const Slot &slot : slots)
        if (PyUnicode_Check(slot.key.ptr())) slot_names.insert(host::utf8(slot.key));
    sb::WalkResult walked = sb::walk_tokens(tokens, slot_names);
    std::vector<std::string> &clean_words = walked.clean;

    if (clean_words.empty())
        for (const Staged &entry : staged)
            for (const auto &p : entry.paths) clean_words.push_back(host::utf8(staged_name(p)));

    nb::object entrypoint_value = get_or(manifest, "entrypoint", nb::none());
    nb::str entrypoint_cmd =
        truthy(entrypoint_value) ? host::expect_str(entrypoint_value) : tool_name;
    sb::drop_entrypoint(clean_words, host::utf8(entrypoint_cmd));
    nb::object run_env = os.attr("environ").attr("copy")();

    // --- invocation and recovery ---------------------------------------------
    nb::list clean = str_list(clean_words);
    logger.info("Running mivo exec %s %s", entrypoint_cmd, clean);
    nb::object proc;
    auto invoke = [&](nb::handle words) {
        return self.attr("_run")(exec_words(entrypoint_cmd, words), "cwd"_a = sandbox_text,
                                 "env"_a = run_env);
    };
    try {
        proc = invoke(clean);
    } catch (nb::python_error &first_error) {
        if (!first_error.matches(PyExc_RuntimeError)) throw;
        nb::object first = nb::borrow(first_error.value());
        try {
            std::string err_text = host::str(first);
            bool abs_miss = false;
            if (err_text.find("No such file or directory") != std::string::npos)
                for (const auto &w : clean_words)
                    abs_miss = abs_miss || (w.rfind("/", 0) == 0 && w.rfind("/workspace", 0) != 0);
            if (abs_miss) {
                nb::object relocated = self.attr("_fix_stale_abs_paths")(clean, manifest, run_env);
                if (relocated.is_none() || !differs(relocated, clean)) throw first_error;
                logger.info("Retrying with relocated paths: %s", relocated);
                try {
                    proc = invoke(relocated);
                } catch (nb::python_error &second) {
                    if (!second.matches(PyExc_RuntimeError)) throw;
                    throw first_error;
                }
            } else if (!tmpl.empty()) {
                // A templated tool's arguments are the manifest's: no LLM second guess.
                throw first_error;
            } else {
                logger.info("Positional fallback failed for %s \u2014 asking LLM for correct args",
                            tool_name);
                nb::dict staged_map;
                nb::object make_path = host::import("pathlib").attr("Path");
                for (const Staged &entry : staged) {
                    if (entry.is_list) {
                        nb::list paths;
                        for (const auto &p : entry.paths) paths.append(make_path(host::from_fs_path(p)));
                        staged_map[entry.key] = paths;
                    } else {
                        staged_map[entry.key] = make_path(host::from_fs_path(entry.paths[0]));
                    }
                }
                nb::object inferred = self.attr("_infer_args")(tool_name, manifest, staged_map);
                if (equals(inferred, clean)) throw first_error;
                logger.info("Retrying mivo exec %s %s (LLM-inferred)", entrypoint_cmd, inferred);
                proc = invoke(inferred);
            }
        } catch (nb::python_error &raised) {
            rethrow_within(raised, first);
        }
    }

    // --- harvest -----------------------------------------------------------------
    sb::HarvestRequest request;
    request.sandbox = sandbox;
    request.output_path = sb::path_join({host::fs_path(output_dir)});
    request.input_names = input_names;
    for (const Slot &slot : slots) request.slots.push_back({slot.fs_name, slot.is_dir});

    nb::object out = proc.attr("stdout");
    auto encoded = [&]() -> std::string {
        nb::object encoding = host::import("locale").attr("getpreferredencoding")(false);
        nb::bytes data = nb::borrow<nb::bytes>(out.attr("encode")(encoding));
        return std::string(data.c_str(), data.size());
    };
    if (walked.capture_slot && truthy(out)) {
        request.captured = encoded();
        request.capture_slot = host::fs_path(host::from_utf8(*walked.capture_slot));
    }
    if (truthy(out) && truthy(out.attr("strip")())) request.fallback_stdout = request.captured ? *request.captured : encoded();
    request.stdout_file_name = sb::flat_name(host::fs_path(tool_name)) + "_stdout.txt";

    sb::HarvestResult harvested = without_gil([&] { return sb::harvest(request); });

    without_gil([&] { sb::remove_tree(sandbox); });
    logger.debug("Cleaned up sandbox: %s", sandbox_text);

    nb::dict result;
    auto emit = [&](const std::vector<std::string> &paths, bool is_dir, const std::string &fs_name) -> nb::object {
        if (paths.empty()) return nb::none();
        if (is_dir) return host::from_fs_path(sb::path_join({request.output_path, fs_name}));
        return host::from_fs_path(paths.front());
    };
    for (std::size_t i = 0; i < slots.size(); ++i)
        result[slots[i].key] = emit(harvested.delivered[i], slots[i].is_dir, slots[i].fs_name);
    if (harvested.stdout_file) {
        nb::str stdout_key("stdout");
        bool as_dir = false;
        for (const Slot &slot : slots)
            if (slot.is_dir && equals(slot.key, stdout_key)) as_dir = true;
        result[stdout_key] = emit({*harvested.stdout_file}, as_dir, "stdout");
    }
    return result;
}

}  // namespace

void bind_tool_run(nb::module_ &m, MivoClass &cls) {
    cls.def("run", &run, host::param("tool_name"), host::param("manifest"), host::param("inputs"),
            host::param("output_dir"),
            "Run one tool on the step's inputs in a fresh sandbox and collect its outputs into "
            "`output_dir`; returns output slot -> delivered path (or None), in manifest order.");
    bind_recovery(m, cls);
}

}  // namespace plexaro::mivo_binding
