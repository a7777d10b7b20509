// The check of a cleaned batch against the rules of what a reply may hold,
// walked with the host's syntax tree; the rule tables and texts are the
// core's (weftling/rules.hpp).
#include "weftling.hpp"

#include "weftling/rules.hpp"
#include "weftling/source.hpp"

#include <map>
#include <set>
#include <unordered_set>

namespace plexaro::weftling_binding {

namespace {

// The host's syntax-tree classes the walk distinguishes.
struct Ast {
    nb::object module, walk, function, name, attribute, call, constant, import, import_from, unary,
        subscript, tuple, list, binop, load, expr_context, operator_, global, nonlocal;

    Ast() {
        module = host::import("ast");
        walk = module.attr("walk");
        function = module.attr("FunctionDef");
        name = module.attr("Name");
        attribute = module.attr("Attribute");
        call = module.attr("Call");
        constant = module.attr("Constant");
        import = module.attr("Import");
        import_from = module.attr("ImportFrom");
        unary = module.attr("UnaryOp");
        subscript = module.attr("Subscript");
        tuple = module.attr("Tuple");
        list = module.attr("List");
        binop = module.attr("BinOp");
        load = module.attr("Load");
        expr_context = module.attr("expr_context");
        operator_ = module.attr("operator");
        global = module.attr("Global");
        nonlocal = module.attr("Nonlocal");
    }
};

std::string text_of(nb::handle value) { return host::utf8(nb::str(value)); }

std::size_t line_of(nb::handle node) {
    nb::object line = attr_or_none(node, "lineno");
    return line.is_none() ? 0 : nb::cast<std::size_t>(line);
}

std::string top_of(const std::string &dotted) { return dotted.substr(0, dotted.find('.')); }

class Checker {
public:
    Checker(const Ast &a, std::set<std::string> extra) : a_(a), extra_(std::move(extra)) {}

    std::vector<rules::Finding> findings;

    void add(rules::Rule rule, std::string subject, std::size_t line) {
        findings.push_back({rule, std::move(subject), line});
    }

    // Defaults and annotations run when the file is loaded.
    void check_signature(nb::handle fn) {
        nb::object args = fn.attr("args");
        for (nb::handle value : args.attr("defaults")) check_default(value);
        for (nb::handle value : args.attr("kw_defaults"))
            if (!value.is_none()) check_default(value);
        for (const char *group : {"posonlyargs", "args", "kwonlyargs"})
            for (nb::handle arg : args.attr(group)) check_annotation(arg.attr("annotation"));
        for (const char *single : {"vararg", "kwarg"}) {
            nb::object arg = args.attr(single);
            if (!arg.is_none()) check_annotation(arg.attr("annotation"));
        }
        check_annotation(fn.attr("returns"));
    }

    void check_body(nb::handle fn) {
        // Names bound to modules in this function: the pre-imported four plus
        // its own imports (under their aliases).
        std::map<std::string, std::string> modules;
        for (std::string_view m : core::kPreImported) modules.emplace(m, m);
        std::vector<nb::object> nodes;
        for (nb::handle node : a_.walk(fn)) nodes.push_back(nb::borrow(node));
        // A name the function assigns is its own variable throughout (there
        // is no global statement): it cannot be the module of that name.
        std::set<std::string> assigned;
        for (nb::handle node : nodes) {
            if (is_instance(node, a_.global) || is_instance(node, a_.nonlocal))
                add(rules::Rule::scope, "", line_of(node));
            else if (is_instance(node, a_.name) && !is_instance(node.attr("ctx"), a_.load))
                assigned.insert(text_of(node.attr("id")));
        }

        for (nb::handle node : nodes) {
            if (is_instance(node, a_.import)) {
                for (nb::handle alias : node.attr("names")) {
                    std::string dotted = text_of(alias.attr("name"));
                    if (!rules::import_allowed(dotted, extra_))
                        add(rules::Rule::import_module, dotted, line_of(node));
                    nb::object as = alias.attr("asname");
                    modules[as.is_none() ? top_of(dotted) : text_of(as)] = top_of(dotted);
                }
            } else if (is_instance(node, a_.import_from)) {
                nb::object module = node.attr("module");
                if (nb::cast<int>(node.attr("level")) != 0 || module.is_none()) {
                    add(rules::Rule::import_form, "a relative import", line_of(node));
                    continue;
                }
                std::string dotted = text_of(module);
                if (!rules::import_allowed(dotted, extra_))
                    add(rules::Rule::import_module, dotted, line_of(node));
                for (nb::handle alias : node.attr("names")) {
                    std::string name = text_of(alias.attr("name"));
                    if (name == "*")
                        add(rules::Rule::import_form, "from " + dotted + " import *",
                            line_of(node));
                    else if (rules::attribute_denied(top_of(dotted), name))
                        add(rules::Rule::denied_attribute, dotted + "." + name, line_of(node));
                }
            }
        }

        // Name nodes that stand as the object of an attribute, or as the
        // object of a getattr-like call with a literal name, may be modules.
        std::unordered_set<PyObject *> owners;
        for (nb::handle node : nodes) {
            if (is_instance(node, a_.attribute)) {
                owners.insert(node.attr("value").ptr());
            } else if (is_instance(node, a_.call)) {
                nb::object func = node.attr("func");
                if (!is_instance(func, a_.name)) continue;
                std::string callee = text_of(func.attr("id"));
                if (!rules::names_attribute_dynamically(callee)) continue;
                nb::object args = node.attr("args");
                if (nb::len(args) < 2 || !is_str_constant(args[1])) {
                    add(rules::Rule::dynamic_attribute, callee + "(...)", line_of(node));
                    continue;
                }
                nb::handle object = args[0];
                std::string owner = module_of(object, modules, assigned);
                std::string attribute = text_of(nb::handle(args[1]).attr("value"));
                if (rules::attribute_denied(owner, attribute))
                    add(rules::Rule::denied_attribute, shown(owner, attribute), line_of(node));
                owners.insert(object.ptr());
            }
        }

        for (nb::handle node : nodes) {
            if (is_instance(node, a_.name)) {
                std::string id = text_of(node.attr("id"));
                if (rules::name_denied(id))
                    add(rules::Rule::denied_name, id, line_of(node));
                else if (modules.count(id) && !assigned.count(id) &&
                         is_instance(node.attr("ctx"), a_.load) && !owners.count(node.ptr()))
                    add(rules::Rule::module_value, id, line_of(node));
            } else if (is_instance(node, a_.attribute)) {
                std::string attribute = text_of(node.attr("attr"));
                std::string owner = module_of(node.attr("value"), modules, assigned);
                if (rules::attribute_denied(owner, attribute))
                    add(rules::Rule::denied_attribute, shown(owner, attribute), line_of(node));
            }
        }
    }

private:
    bool is_str_constant(nb::handle node) {
        return is_instance(node, a_.constant) && PyUnicode_Check(node.attr("value").ptr());
    }

    static std::string shown(const std::string &owner, const std::string &attribute) {
        return (owner.empty() ? std::string("...") : owner) + "." + attribute;
    }

    // The module an expression is known to be: a name bound by an import
    // (or pre-imported) and not assigned in the function, or an attribute
    // named after a module (glob.os).
    std::string module_of(nb::handle node, const std::map<std::string, std::string> &modules,
                          const std::set<std::string> &assigned) {
        if (is_instance(node, a_.attribute)) {
            std::string attribute = text_of(node.attr("attr"));
            return rules::names_a_module(attribute) ? attribute : "";
        }
        if (!is_instance(node, a_.name)) return "";
        std::string id = text_of(node.attr("id"));
        if (assigned.count(id)) return "";
        auto found = modules.find(id);
        return found == modules.end() ? "" : found->second;
    }

    void check_default(nb::handle value) {
        nb::handle inner = value;
        if (is_instance(inner, a_.unary)) inner = value.attr("operand");
        if (!is_instance(inner, a_.constant))
            add(rules::Rule::default_value, host::utf8(a_.module.attr("unparse")(value)),
                line_of(value));
    }

    // A plain type expression: names, dotted names, constants, subscripts,
    // tuples and lists of those, and "|" unions. Nothing that calls.
    void check_annotation(nb::handle annotation) {
        if (annotation.is_none()) return;
        for (nb::handle node : a_.walk(annotation)) {
            bool plain = is_instance(node, a_.name) || is_instance(node, a_.attribute) ||
                         is_instance(node, a_.constant) || is_instance(node, a_.subscript) ||
                         is_instance(node, a_.tuple) || is_instance(node, a_.list) ||
                         is_instance(node, a_.binop) || is_instance(node, a_.expr_context) ||
                         is_instance(node, a_.operator_);
            if (!plain) {
                add(rules::Rule::annotation, host::utf8(a_.module.attr("unparse")(annotation)),
                    line_of(annotation));
                return;
            }
        }
    }

    const Ast &a_;
    std::set<std::string> extra_;
};

std::set<std::string> extra_modules() {
    nb::object value =
        host::import("os").attr("environ").attr("get")(host::from_utf8(rules::kModulesEnv), "");
    return rules::extra_modules(host::utf8(nb::str(value)));
}

// Compiles the batch below the file's header and runs it in a fresh
// namespace: by now it holds only plain function definitions, so this runs
// no code of the reply, yet it catches what would make the file fail to load.
void check_loads(const std::string &code, std::vector<rules::Finding> &findings) {
    nb::object builtins = host::import("builtins");
    std::string source = std::string(core::kHeader) + "\n" + code + "\n";
    try {
        nb::object compiled = builtins.attr("compile")(host::from_utf8(source), "<connectors>",
                                                       "exec", "dont_inherit"_a = true);
        nb::dict space;
        space["__name__"] = "connectors";
        builtins.attr("exec")(compiled, space);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        std::string what =
            host::str(nb::handle(e.type()).attr("__name__")) + ": " + host::str(e.value());
        findings.push_back({rules::Rule::does_not_load, what, 0});
    }
}

}  // namespace

BatchCheck check_batch(nb::handle code, const std::set<std::string> &asked) {
    BatchCheck result;
    result.code = host::utf8(code);
    Ast a;
    nb::object tree;
    try {
        tree = a.module.attr("parse")(code);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        result.findings.push_back({rules::Rule::syntax, host::str(e.value()), 0});
        return result;
    }

    Checker checker(a, extra_modules());
    std::set<std::size_t> dropped_lines;
    for (nb::handle stmt : tree.attr("body")) {
        const std::size_t line = line_of(stmt);
        if (!is_instance(stmt, a.function)) {
            std::string kind = host::str(nb::handle(Py_TYPE(stmt.ptr())).attr("__name__"));
            nb::object name = attr_or_none(stmt, "name");
            if (!name.is_none()) kind += " " + text_of(name);
            checker.add(rules::Rule::top_level, kind, line);
            continue;
        }
        std::string name = text_of(stmt.attr("name"));
        if (rules::is_connector_name(name) && !asked.count(name)) {
            // Another edge's connector, replaced or planted: never stored.
            std::size_t first = line;
            for (nb::handle decorator : stmt.attr("decorator_list"))
                first = std::min(first, line_of(decorator));
            std::size_t last = nb::cast<std::size_t>(stmt.attr("end_lineno"));
            for (std::size_t l = first; l <= last; ++l) dropped_lines.insert(l - 1);
            result.dropped.push_back(name);
            continue;
        }
        if (nb::len(nb::object(stmt.attr("decorator_list"))) > 0)
            checker.add(rules::Rule::decorator, "@... on " + name, line);
        checker.check_signature(stmt);
        checker.check_body(stmt);
    }
    result.findings = std::move(checker.findings);
    if (!dropped_lines.empty()) result.code = core::remove_lines(result.code, dropped_lines);
    if (result.findings.empty()) check_loads(result.code, result.findings);
    return result;
}

}  // namespace plexaro::weftling_binding
