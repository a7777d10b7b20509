// The two ways a failed tool run is repaired: relocating absolute paths
// that do not exist in the tool's image, and asking the LLM for the
// arguments of a tool without a template. Plus the module's LLM factory.
#include "mivo/mivo.hpp"

#include "sandbox/recovery.hpp"
#include "sandbox/reply.hpp"
#include "sandbox/words.hpp"

namespace plexaro::mivo_binding {

namespace sb = plexaro::sandbox;
using namespace nb::literals;

namespace {

constexpr int kFindTimeoutSeconds = 60;

using host::truthy;

// a.startswith(prefix) for the host's text; other values answer through the host.
bool starts_with(nb::handle value, const char *prefix) {
    if (PyUnicode_CheckExact(value.ptr())) return host::utf8(value).rfind(prefix, 0) == 0;
    return truthy(value.attr("startswith")(prefix));
}

bool is_stale(nb::handle arg) {
    if (PyUnicode_CheckExact(arg.ptr())) return sb::is_stale_path(host::utf8(arg));
    return starts_with(arg, "/") && !starts_with(arg, "/workspace");
}

nb::object fix_stale_abs_paths(nb::handle, nb::handle args_arg, nb::handle manifest_arg,
                               nb::handle env_arg) {
    nb::list args = host::arg_list(args_arg, "args");
    nb::dict manifest = host::arg_dict(manifest_arg, "manifest");
    nb::dict env = host::arg_dict(env_arg, "env");

    std::vector<nb::object> stale;
    for (nb::handle a : args)
        if (is_stale(a)) stale.push_back(nb::borrow(a));
    if (stale.empty()) return nb::none();
    nb::object image = host::mapping_get(manifest, "image", nb::none());
    if (!truthy(image)) return nb::none();

    // The engine itself, not the host-network wrapper put in front of it.
    nb::object shutil = host::import("shutil");
    nb::object docker_real = shutil.attr("which")("docker.real");
    if (!truthy(docker_real)) docker_real = nb::str("/usr/bin/docker.real");
    if (!truthy(host::os_path().attr("exists")(docker_real))) {
        docker_real = shutil.attr("which")("docker");
        if (!truthy(docker_real)) docker_real = nb::str("docker");
    }

    nb::object subprocess = host::import("subprocess");
    nb::list fixed = nb::steal<nb::list>(PySequence_List(args.ptr()));
    if (!fixed.is_valid()) throw nb::python_error();
    bool changed = false;
    for (const nb::object &bad_path : stale) {
        nb::object fname = bad_path.attr("rsplit")("/", 1)[-1];
        try {
            nb::list argv;
            argv.append(docker_real);
            for (const char *w : {"run", "--rm", "--network=host", "--entrypoint", ""})
                argv.append(w);
            argv.append(image);
            for (const char *w : {"find", "/", "-name"}) argv.append(w);
            argv.append(fname);
            for (const char *w : {"-maxdepth", "8", "-type", "f"}) argv.append(w);
            nb::object found =
                subprocess.attr("run")(argv, "capture_output"_a = true, "text"_a = true,
                                       "timeout"_a = kFindTimeoutSeconds, "env"_a = env);
            nb::object out = found.attr("stdout");
            std::vector<std::string> hits = sb::stripped_lines(host::utf8(host::expect_str(out)));
            if (!hits.empty()) {
                nb::str new_path = host::from_utf8(hits.front());
                logger.info("Relocated %s \u2192 %s in container", bad_path, new_path);
                for (std::size_t i = 0; i < nb::len(fixed); ++i) {
                    if (host::compare(nb::object(fixed[i]), bad_path, Py_EQ)) fixed[i] = new_path;
                }
                changed = true;
            }
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            logger.debug("find failed for %s: %s", fname, nb::str(e.value()));
        }
    }
    if (!changed) return nb::none();
    return fixed;
}

// The manifest's fields as the prompt lists them.
std::vector<sb::PromptField> prompt_fields(nb::handle slots) {
    std::vector<sb::PromptField> fields;
    for (nb::handle item : slots.attr("items")()) {
        nb::object name = item[0], record = item[1];
        fields.push_back({host::str(name),
                          host::str(host::mapping_get(record, "type", nb::str(""))),
                          host::str(host::mapping_get(record, "description", nb::str("")))});
    }
    return fields;
}

nb::list infer_args(nb::handle, nb::handle tool_name_arg, nb::handle manifest_arg,
                    nb::handle staged_arg) {
    nb::str tool_name = host::arg_str(tool_name_arg, "tool_name");
    nb::dict manifest = host::arg_dict(manifest_arg, "manifest");
    nb::dict staged = host::arg_dict(staged_arg, "staged");

    sb::InferencePrompt question;
    question.inputs = prompt_fields(host::mapping_get(manifest, "inputs", nb::dict()));
    question.outputs = prompt_fields(host::mapping_get(manifest, "outputs", nb::dict()));

    // File names as the tool sees them in its working directory; the same
    // names, in order, are the positional arguments to fall back on.
    nb::object make_path = host::import("pathlib").attr("Path");
    nb::list positional;
    for (auto [key, value] : staged) {
        std::string names;
        auto add = [&](nb::handle path) {
            nb::object name = make_path(path).attr("name");
            positional.append(name);
            if (!names.empty()) names += " ";
            names += host::str(name);
        };
        if (PyList_Check(value.ptr())) {
            for (nb::handle p : nb::borrow<nb::list>(value)) add(p);
        } else {
            add(value);
        }
        question.staged.emplace_back(host::str(key), std::move(names));
    }

    nb::object entrypoint_value = host::mapping_get(manifest, "entrypoint", nb::none());
    question.executable =
        host::str(truthy(entrypoint_value) ? entrypoint_value : nb::object(tool_name));
    question.tool_name = host::str(tool_name);
    question.description = host::str(host::mapping_get(manifest, "description", nb::str("")));
    std::string prompt = sb::inference_prompt(question);

    try {
        // Looked up on the module at every call, so a host that replaces the
        // factory is obeyed.
        nb::object llm = host::import(kModuleName).attr("_default_llm")();
        nb::object response = llm.attr("call")(host::from_utf8(prompt));
        std::string cleaned;
        if (PyUnicode_Check(response.ptr())) {
            cleaned = std::string(sb::clean_reply(host::utf8(response)));
        } else {
            // Not text: let the host's own str operations answer it.
            nb::object text = response.attr("strip")();
            text = host::import("re").attr("sub")("^`+|`+$", "", text).attr("strip")();
            cleaned = host::utf8(host::expect_str(text));
        }
        std::vector<std::string> words;
        try {
            words = sb::split_words(cleaned);
        } catch (const sb::SplitError &e) {
            host::raise(PyExc_ValueError, e.what());
        }
        nb::list args;
        for (const auto &w : words) args.append(host::from_utf8(w));
        logger.info("LLM inferred args for %s: %s", tool_name, args);
        return args;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        logger.warning("LLM arg inference failed for %s: %s \u2014 falling back to positional",
                       tool_name, nb::str(e.value()));
        return positional;
    }
}

nb::object default_llm() {
    return host::import("importlib")
        .attr("import_module")("plexaro.helpers.promptel")
        .attr("default_llm")();
}

}  // namespace

void bind_recovery(nb::module_ &m, MivoClass &cls) {
    cls.def(
        "_fix_stale_abs_paths", &fix_stale_abs_paths, host::param("args"), host::param("manifest"),
        host::param("env"),
        nb::sig("def _fix_stale_abs_paths(self, args: list[str], manifest: dict[str, typing.Any], "
                "env: dict[str, str]) -> list[str] | None"),
        "Look up each absolute argument outside /workspace by file name inside the tool's "
        "image; the arguments with the paths found there, or None when nothing changed.");
    cls.def("_infer_args", &infer_args, host::param("tool_name"), host::param("manifest"),
            host::param("staged"),
            nb::sig("def _infer_args(self, tool_name: str, manifest: dict[str, typing.Any], "
                    "staged: dict[str, typing.Any]) -> list[str]"),
            "Ask the LLM for a tool's command-line arguments; the staged file names when it "
            "cannot answer.");
    m.def("_default_llm", &default_llm,
          nb::sig("def _default_llm() -> plexaro.helpers.promptel.Promptel"),
          "A new LLM client from plexaro.helpers.promptel (loaded at call time).");
}

}  // namespace plexaro::mivo_binding
