// Clean-up of the model's reply: fences, prose, one syntax repair, imports at
// module level removed, missing standard-library imports added per function.
#include "weftling.hpp"

#include "weftling/prompt.hpp"
#include "weftling/source.hpp"

#include <set>
#include <vector>

namespace plexaro::weftling_binding {

namespace {

nb::object ast() { return host::import("ast"); }

// Runs one best-effort pass; an ordinary error is logged and the code kept.
nb::str best_effort(nb::handle self, const char *method, nb::str code, const char *warning) {
    try {
        return host::expect_str(self.attr(method)(code));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        logger.warning(warning, nb::str(e.value()));
        return code;
    }
}

std::string name_text(nb::handle name) { return host::utf8(nb::str(name)); }

// Top-level module name of a dotted name.
std::string top_level(nb::handle dotted) {
    std::string name = name_text(dotted);
    return name.substr(0, name.find('.'));
}

struct Plan {
    nb::object name;
    core::BodyStart body;
    std::vector<std::string> modules;
};

// Names the module's own top level binds: within its functions they refer
// to those objects, not to a standard module of the same name.
std::set<std::string> top_level_names(nb::handle tree) {
    nb::object a = ast();
    nb::object defs =
        nb::make_tuple(a.attr("FunctionDef"), a.attr("AsyncFunctionDef"), a.attr("ClassDef"));
    nb::object name_cls = a.attr("Name"), store = a.attr("Store");
    std::set<std::string> names;
    for (nb::handle stmt : tree.attr("body")) {
        if (is_instance(stmt, defs)) {
            names.insert(name_text(stmt.attr("name")));
            continue;
        }
        for (nb::handle node : a.attr("walk")(stmt))
            if (is_instance(node, name_cls) && is_instance(node.attr("ctx"), store))
                names.insert(name_text(node.attr("id")));
    }
    return names;
}

std::set<std::string> parameters(nb::handle fn) {
    std::set<std::string> names;
    nb::object args = fn.attr("args");
    for (const char *group : {"posonlyargs", "args", "kwonlyargs"})
        for (nb::handle arg : args.attr(group)) names.insert(name_text(arg.attr("arg")));
    for (const char *single : {"vararg", "kwarg"}) {
        nb::object arg = args.attr(single);
        if (!arg.is_none()) names.insert(name_text(arg.attr("arg")));
    }
    return names;
}

bool is_docstring(nb::handle stmt) {
    nb::object a = ast();
    if (!is_instance(stmt, a.attr("Expr"))) return false;
    nb::object value = stmt.attr("value");
    return is_instance(value, a.attr("Constant")) && PyUnicode_Check(value.attr("value").ptr());
}

std::size_t position(nb::handle node, const char *field) {
    return nb::cast<std::size_t>(node.attr(field));
}

// Whether `text` passes the check the original code passed: a full compile
// when the original compiled, else a parse.
bool still_valid(nb::handle text, bool compiles) {
    try {
        if (compiles)
            host::import("builtins")
                .attr("compile")(text, "<connectors>", "exec", "dont_inherit"_a = true);
        else
            ast().attr("parse")(text);
        return true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

}  // namespace

nb::str trimmed(nb::handle code) {
    return host::from_utf8(core::trim_to_first_def(host::utf8(code)));
}

bool parses(nb::handle code) {
    try {
        ast().attr("parse")(code);
        return true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

nb::str finish_cleanup(nb::handle self, nb::str text) {
    text = best_effort(self, "_strip_toplevel_imports", text, "Top-level import strip skipped: %s");
    return best_effort(self, "_inject_missing_imports", text, "Import injection skipped: %s");
}

void bind_cleanup(Class &cls) {
    cls.def(
        "_call_and_clean",
        [](nb::handle self, nb::handle prompt) -> nb::str {
            nb::object reply = self.attr("llm").attr("call")(prompt);
            return host::from_utf8(core::strip_fences(host::utf8(host::expect_str(reply))));
        },
        "prompt"_a.none(), nb::sig("def _call_and_clean(self, prompt: str) -> str"),
        "Ask the LLM and return its reply without Markdown fences.");

    cls.def(
        "_postprocess_code",
        [](nb::handle self, nb::handle code) -> nb::str {
            nb::str text = trimmed(host::arg_str(code, "code"));
            try {
                ast().attr("parse")(text);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_SyntaxError)) throw;
                nb::str prompt = host::from_utf8(
                    core::syntax_repair_prompt(host::str(e.value()), host::utf8(text)));
                text = trimmed(host::expect_str(self.attr("_call_and_clean")(prompt)));
            }
            return finish_cleanup(self, text);
        },
        "code"_a.none(), nb::sig("def _postprocess_code(self, code: str) -> str"),
        "Clean a reply into function definitions ready for the connectors file.");

    cls.def(
        "_strip_toplevel_imports",
        [](nb::handle, nb::handle code) -> nb::str {
            nb::str text = host::arg_str(code, "code");
            nb::object a = ast();
            nb::object tree = a.attr("parse")(text);
            nb::object imports = nb::make_tuple(a.attr("Import"), a.attr("ImportFrom"));
            std::set<std::size_t> drop;
            for (nb::handle stmt : tree.attr("body")) {
                if (!is_instance(stmt, imports)) continue;
                std::size_t first = position(stmt, "lineno"), last = position(stmt, "end_lineno");
                for (std::size_t line = first; line <= last; ++line) drop.insert(line - 1);
            }
            return host::from_utf8(core::remove_lines(host::utf8(text), drop));
        },
        "code"_a.none(), nb::sig("def _strip_toplevel_imports(self, code: str) -> str"),
        "The code without its module-level import statements (whole lines).");

    cls.def(
        "_inject_missing_imports",
        [](nb::handle, nb::handle code) -> nb::str {
            nb::str text = host::arg_str(code, "code");
            nb::object stdlib = attr_or_none(host::import("sys"), "stdlib_module_names");
            if (stdlib.is_none() || !truthy(stdlib)) return text;

            nb::object a = ast();
            nb::object tree = a.attr("parse")(text);
            nb::object fn_cls = a.attr("FunctionDef"), walk = a.attr("walk");
            nb::object name_cls = a.attr("Name"), attribute_cls = a.attr("Attribute");
            nb::object import_cls = a.attr("Import"), from_cls = a.attr("ImportFrom");
            const std::set<std::string> module_names = top_level_names(tree);

            std::vector<Plan> plans;
            for (nb::handle fn : tree.attr("body")) {
                if (!is_instance(fn, fn_cls)) continue;
                std::set<std::string> used, imported;
                auto use = [&](nb::handle name) {
                    if (contains(stdlib, name)) used.insert(name_text(name));
                };
                for (nb::handle node : walk(fn)) {
                    if (is_instance(node, attribute_cls) &&
                        is_instance(node.attr("value"), name_cls))
                        use(node.attr("value").attr("id"));
                    else if (is_instance(node, name_cls))
                        use(node.attr("id"));
                    else if (is_instance(node, import_cls)) {
                        for (nb::handle alias : node.attr("names")) {
                            nb::object as = alias.attr("asname");
                            imported.insert(top_level(as.is_none() ? alias.attr("name") : as));
                        }
                    } else if (is_instance(node, from_cls)) {
                        nb::object module = node.attr("module");
                        if (!module.is_none()) imported.insert(top_level(module));
                    }
                }
                // A parameter named like a module is the caller's value, and a
                // top-level name the module's own object: never shadow either.
                std::set<std::string> bound = parameters(fn);
                bound.insert(module_names.begin(), module_names.end());
                std::vector<std::string> missing = core::missing_imports(used, imported, bound);
                if (missing.empty()) continue;

                nb::object body = fn.attr("body");
                nb::handle first = body[0];
                Plan plan{fn.attr("name"), {}, std::move(missing)};
                plan.body.line = position(first, "lineno");
                plan.body.col = position(first, "col_offset");
                plan.body.docstring = is_docstring(first);
                if (nb::len(body) > 1)
                    plan.body.next =
                        std::pair{position(body[1], "lineno"), position(body[1], "col_offset")};
                plans.push_back(std::move(plan));
            }
            if (plans.empty()) return text;

            // Each function's imports are kept only if the result still
            // compiles (or parses, for code that never compiled); the last
            // function goes first so earlier positions stay valid.
            const bool compiles = still_valid(text, true);
            std::string current = host::utf8(text);
            bool changed = false;
            for (auto plan = plans.rbegin(); plan != plans.rend(); ++plan) {
                std::optional<std::string> candidate =
                    core::insert_imports(current, plan->body, plan->modules);
                if (candidate && still_valid(host::from_utf8(*candidate), compiles)) {
                    current = std::move(*candidate);
                    changed = true;
                } else {
                    logger.debug(
                        "Imports for %s left out: the function would not compile with them",
                        plan->name);
                }
            }
            return changed ? host::from_utf8(current) : text;
        },
        "code"_a.none(), nb::sig("def _inject_missing_imports(self, code: str) -> str"),
        "The code with the standard-library imports each function lacks added inside it.");
}

}  // namespace plexaro::weftling_binding
