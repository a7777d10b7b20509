// The check of a cleaned batch against the rules of what a reply may hold,
// walked with the host's syntax tree; the rule tables and texts are the
// core's (weftling/rules.hpp).
#include "weftling.hpp"

#include "common/text.hpp"
#include "weftling/rules.hpp"
#include "weftling/source.hpp"

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace plexaro::weftling_binding {

namespace {

// The host's syntax-tree classes the walk distinguishes.
struct Ast {
    nb::object module, walk, children, function, async_function, lambda, class_def, name, attribute,
        call, constant, import, import_from, unary, subscript, tuple, list, binop, load,
        expr_context, operator_, global, nonlocal, comprehensions, except_handler, ann_assign,
        starred, module_type, stdlib;

    Ast() {
        module = host::import("ast");
        walk = module.attr("walk");
        children = module.attr("iter_child_nodes");
        function = module.attr("FunctionDef");
        async_function = module.attr("AsyncFunctionDef");
        lambda = module.attr("Lambda");
        class_def = module.attr("ClassDef");
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
        comprehensions = nb::make_tuple(module.attr("ListComp"), module.attr("SetComp"),
                                        module.attr("DictComp"), module.attr("GeneratorExp"));
        except_handler = module.attr("ExceptHandler");
        ann_assign = module.attr("AnnAssign");
        starred = module.attr("Starred");
        module_type = host::import("types").attr("ModuleType");
        stdlib = attr_or_none(host::import("sys"), "stdlib_module_names");
    }
};

std::string text_of(nb::handle value) { return host::utf8(nb::str(value)); }

std::size_t line_of(nb::handle node) {
    nb::object line = attr_or_none(node, "lineno");
    return line.is_none() ? 0 : nb::cast<std::size_t>(line);
}

std::string top_of(const std::string &dotted) { return dotted.substr(0, dotted.find('.')); }

// A module an expression is known to be: the name the attribute rules know
// it by ("os", "os.path", "json.decoder") and, when the host could import
// it, the module itself (to see which of its attributes are modules).
struct ModuleRef {
    std::string name;
    nb::object object;
};
using Modules = std::vector<ModuleRef>;

// One scope of a function body: the function itself, a nested function or
// lambda, a comprehension, or a class body (whose names nested functions do
// not see). What each name is bound to there decides whether a use of the
// name can be a module.
struct Scope {
    Scope *parent = nullptr;
    bool is_class = false;
    std::map<std::string, Modules> imported;  // names bound by import
    std::set<std::string> assigned;           // names bound otherwise
    std::vector<nb::object> nodes;            // nodes evaluated in this scope
};

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
    }

    void check_body(nb::handle fn) {
        scopes_.clear();
        owners_.clear();
        direct_calls_.clear();
        calls_.clear();
        Scope &outer = new_scope(nullptr, false);
        collect_function(fn, outer, /*top=*/true);

        // Name nodes and attributes that stand as the object of an
        // attribute, or as the object of a getattr-like call with a literal
        // name, may be modules; the getattr-like names that are called.
        for (auto &scope : scopes_)
            for (nb::handle node : scope->nodes) {
                if (is_instance(node, a_.attribute)) {
                    owners_.insert(node.attr("value").ptr());
                } else if (is_instance(node, a_.call)) {
                    nb::object func = node.attr("func");
                    calls_[func.ptr()] = nb::borrow(node);
                    if (!is_instance(func, a_.name)) continue;
                    if (!rules::names_attribute_dynamically(text_of(func.attr("id")))) continue;
                    direct_calls_.insert(func.ptr());
                    nb::object args = node.attr("args");
                    if (nb::len(args) >= 2 && is_str_constant(args[1]))
                        owners_.insert(nb::handle(args[0]).ptr());
                }
            }
        for (auto &scope : scopes_)
            for (nb::handle node : scope->nodes) check_node(node, *scope);
    }

private:
    Scope &new_scope(Scope *parent, bool is_class) {
        scopes_.push_back(std::make_unique<Scope>());
        scopes_.back()->parent = parent;
        scopes_.back()->is_class = is_class;
        return *scopes_.back();
    }

    // --- which scope evaluates which node -------------------------------------

    void bind_arguments(nb::handle args, Scope &scope) {
        for (const char *group : {"posonlyargs", "args", "kwonlyargs"})
            for (nb::handle arg : args.attr(group)) scope.assigned.insert(text_of(arg.attr("arg")));
        for (const char *single : {"vararg", "kwarg"}) {
            nb::object arg = args.attr(single);
            if (!arg.is_none()) scope.assigned.insert(text_of(arg.attr("arg")));
        }
    }

    // A function definition: decorators, defaults and annotations run in
    // `scope`, the body in a scope of its own.
    void collect_function(nb::handle fn, Scope &scope, bool top) {
        std::string name = text_of(fn.attr("name"));
        // A double-underscore method is called by the runtime and by library
        // code (__del__, __set__, __fspath__, __reduce__, ...).
        if (plexaro::text::starts_with(name, "__"))
            add(rules::Rule::class_form, "def " + name, line_of(fn));
        if (!top) scope.assigned.insert(name);
        for (nb::handle d : fn.attr("decorator_list")) collect(d, scope);
        nb::object args = fn.attr("args");
        for (nb::handle d : args.attr("defaults")) collect(d, scope);
        for (nb::handle d : args.attr("kw_defaults"))
            if (!d.is_none()) collect(d, scope);
        for (const char *group : {"posonlyargs", "args", "kwonlyargs"})
            for (nb::handle arg : args.attr(group))
                collect_annotation(arg.attr("annotation"), scope);
        for (const char *single : {"vararg", "kwarg"}) {
            nb::object arg = args.attr(single);
            if (!arg.is_none()) collect_annotation(arg.attr("annotation"), scope);
        }
        collect_annotation(fn.attr("returns"), scope);
        Scope &inner = new_scope(&scope, false);
        bind_arguments(args, inner);
        for (nb::handle stmt : fn.attr("body")) collect(stmt, inner);
    }

    void collect_annotation(nb::handle annotation, Scope &scope) {
        if (annotation.is_none()) return;
        check_annotation(annotation);
        collect(annotation, scope);
    }

    void collect(nb::handle node, Scope &scope) {
        if (is_instance(node, a_.function) || is_instance(node, a_.async_function)) {
            collect_function(node, scope, false);
            return;
        }
        if (is_instance(node, a_.lambda)) {
            nb::object args = node.attr("args");
            for (nb::handle d : args.attr("defaults")) collect(d, scope);
            for (nb::handle d : args.attr("kw_defaults"))
                if (!d.is_none()) collect(d, scope);
            Scope &inner = new_scope(&scope, false);
            bind_arguments(args, inner);
            collect(node.attr("body"), inner);
            return;
        }
        if (is_instance(node, a_.class_def)) {
            // A class derived from a library class inherits what the library
            // does with its attributes (a TemporaryDirectory's cleanup removes
            // whatever `name` a property gives).
            if (nb::len(nb::object(node.attr("bases"))) > 0 ||
                nb::len(nb::object(node.attr("keywords"))) > 0)
                add(rules::Rule::class_form, "class " + text_of(node.attr("name")) + "(...)",
                    line_of(node));
            scope.assigned.insert(text_of(node.attr("name")));
            for (const char *part : {"decorator_list", "bases", "keywords"})
                for (nb::handle d : node.attr(part)) collect(d, scope);
            Scope &body = new_scope(&scope, true);
            for (nb::handle stmt : node.attr("body")) collect(stmt, body);
            return;
        }
        if (is_instance(node, a_.comprehensions)) {
            // The first iterable runs in the enclosing scope, the rest in
            // the comprehension's own.
            nb::object generators = node.attr("generators");
            Scope &inner = new_scope(&scope, false);
            bool first = true;
            for (nb::handle g : generators) {
                collect(g.attr("iter"), first ? scope : inner);
                first = false;
                collect(g.attr("target"), inner);
                for (nb::handle c : g.attr("ifs")) collect(c, inner);
            }
            for (const char *part : {"elt", "key", "value"}) {
                nb::object e = attr_or_none(node, part);
                if (!e.is_none()) collect(e, inner);
            }
            return;
        }
        scope.nodes.push_back(nb::borrow(node));
        if (is_instance(node, a_.name)) {
            if (!is_instance(node.attr("ctx"), a_.load))
                scope.assigned.insert(text_of(node.attr("id")));
        } else if (is_instance(node, a_.except_handler)) {
            nb::object name = node.attr("name");
            if (!name.is_none()) scope.assigned.insert(text_of(name));
        } else if (is_instance(node, a_.import)) {
            collect_import(node, scope);
        } else if (is_instance(node, a_.import_from)) {
            collect_import_from(node, scope);
        } else if (is_instance(node, a_.ann_assign)) {
            check_annotation(node.attr("annotation"));
        }
        for (nb::handle child : a_.children(node)) collect(child, scope);
    }

    // --- imports ------------------------------------------------------------------

    nb::object import_or_none(const std::string &dotted) {
        try {
            return host::import(dotted.c_str());
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            return nb::object();
        }
    }

    void collect_import(nb::handle node, Scope &scope) {
        for (nb::handle alias : node.attr("names")) {
            std::string dotted = text_of(alias.attr("name"));
            bool allowed = rules::import_allowed(dotted, extra_);
            if (!allowed) add(rules::Rule::import_module, dotted, line_of(node));
            nb::object as = alias.attr("asname");
            // "import a.b" binds a; "import a.b as x" binds a.b.
            std::string bound = as.is_none() ? top_of(dotted) : text_of(as);
            std::string module = as.is_none() ? top_of(dotted) : dotted;
            nb::object object;
            if (allowed && import_or_none(dotted).is_valid()) object = import_or_none(module);
            scope.imported[bound].push_back({module, object});
        }
    }

    void collect_import_from(nb::handle node, Scope &scope) {
        nb::object module = node.attr("module");
        if (nb::cast<int>(node.attr("level")) != 0 || module.is_none()) {
            add(rules::Rule::import_form, "a relative import", line_of(node));
            return;
        }
        std::string dotted = text_of(module);
        bool allowed = rules::import_allowed(dotted, extra_);
        if (!allowed) add(rules::Rule::import_module, dotted, line_of(node));
        nb::object package = allowed ? import_or_none(dotted) : nb::object();
        ModuleRef from{dotted, package};
        for (nb::handle alias : node.attr("names")) {
            std::string name = text_of(alias.attr("name"));
            if (name == "*") {
                add(rules::Rule::import_form, "from " + dotted + " import *", line_of(node));
                continue;
            }
            if (rules::attribute_denied(dotted, name))
                add(rules::Rule::denied_attribute, dotted + "." + name, line_of(node));
            nb::object as = alias.attr("asname");
            std::string bound = as.is_none() ? name : text_of(as);
            std::optional<ModuleRef> reached = reach(from, name, line_of(node));
            if (reached)
                scope.imported[bound].push_back(*reached);
            else
                scope.assigned.insert(bound);
        }
    }

    // --- what an expression is ----------------------------------------------------

    // The module `owner.attribute` is, if it is one; a module outside the
    // allow-list is reported when `line` is given.
    std::optional<ModuleRef> reach(const ModuleRef &owner, const std::string &attribute,
                                   std::optional<std::size_t> line) {
        if (owner.object.is_valid()) {
            nb::object value;
            try {
                value = nb::getattr(owner.object, attribute.c_str(), nb::none());
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception)) throw;
                value = nb::none();
            }
            if (is_instance(value, a_.module_type)) {
                std::string real = text_of(attr_or_none(value, "__name__"));
                std::string owner_real = text_of(attr_or_none(owner.object, "__name__"));
                if (!rules::reached_module_allowed(owner_real, attribute, real, extra_)) {
                    if (line)
                        add(rules::Rule::denied_attribute,
                            owner.name + "." + attribute + " (the module " + real + ")", *line);
                    return ModuleRef{real, nb::object()};
                }
                if (owner.name == "os" && attribute == "path") return ModuleRef{"os.path", value};
                return ModuleRef{real, value};
            }
            return std::nullopt;
        }
        // A module the host could not import: its attributes named after a
        // standard module are taken to be that module.
        if (is_stdlib(attribute)) return ModuleRef{attribute, nb::object()};
        return std::nullopt;
    }

    bool is_stdlib(const std::string &name) {
        return !a_.stdlib.is_none() && contains(a_.stdlib, host::from_utf8(name));
    }

    Modules resolve(const std::string &id, const Scope &scope) {
        for (const Scope *s = &scope; s; s = s->parent) {
            if (s->is_class) continue;  // class bodies: their bindings are not trusted
            auto found = s->imported.find(id);
            if (found != s->imported.end()) return found->second;
            if (s->assigned.count(id)) return {};
        }
        for (std::string_view m : core::kPreImported)
            if (id == m) return {ModuleRef{id, import_or_none(id)}};
        return {};
    }

    // The modules an expression may be: a name bound by an import (or
    // pre-imported) in the scope that evaluates it, an attribute of a known
    // module that is a module (glob.os, json.decoder), an attribute named os,
    // shutil or pathlib on any object, or getattr of those with a literal.
    Modules modules_of(nb::handle node, const Scope &scope) {
        if (is_instance(node, a_.name)) return resolve(text_of(node.attr("id")), scope);
        std::string attribute;
        nb::object owner;
        if (is_instance(node, a_.attribute)) {
            attribute = text_of(node.attr("attr"));
            owner = node.attr("value");
        } else if (is_getattr_with_literal(node)) {
            nb::object args = node.attr("args");
            owner = args[0];
            attribute = text_of(nb::handle(args[1]).attr("value"));
        } else {
            return {};
        }
        Modules out;
        for (const ModuleRef &m : modules_of(owner, scope))
            if (auto r = reach(m, attribute, std::nullopt)) out.push_back(*r);
        if (out.empty() && rules::names_a_module(attribute))
            out.push_back({attribute, import_or_none(attribute)});
        return out;
    }

    bool is_getattr_with_literal(nb::handle node) {
        if (!is_instance(node, a_.call)) return false;
        nb::object func = node.attr("func");
        if (!is_instance(func, a_.name) || text_of(func.attr("id")) != "getattr") return false;
        nb::object args = node.attr("args");
        return nb::len(args) >= 2 && is_str_constant(args[1]);
    }

    void judge_attribute(nb::handle owner, const std::string &attribute, const Scope &scope,
                         std::size_t line) {
        Modules owners = modules_of(owner, scope);
        if (owners.empty()) {
            if (rules::attribute_denied("", attribute))
                add(rules::Rule::denied_attribute, "..." + std::string(".") + attribute, line);
            return;
        }
        for (const ModuleRef &m : owners) {
            if (rules::attribute_denied(m.name, attribute)) {
                add(rules::Rule::denied_attribute, m.name + "." + attribute, line);
                return;
            }
            reach(m, attribute, line);
        }
    }

    void check_node(nb::handle node, const Scope &scope) {
        const std::size_t line = line_of(node);
        if (is_instance(node, a_.global) || is_instance(node, a_.nonlocal)) {
            add(rules::Rule::scope, "", line);
        } else if (is_instance(node, a_.name)) {
            std::string id = text_of(node.attr("id"));
            bool load = is_instance(node.attr("ctx"), a_.load);
            if (rules::name_denied(id))
                add(rules::Rule::denied_name, id, line);
            else if (rules::names_attribute_dynamically(id) && load &&
                     !direct_calls_.count(node.ptr()))
                add(rules::Rule::dynamic_attribute, id + " as a value", line);
            else if (load && !owners_.count(node.ptr()) && !resolve(id, scope).empty())
                add(rules::Rule::module_value, id, line);
        } else if (is_instance(node, a_.attribute)) {
            std::string attribute = text_of(node.attr("attr"));
            if (!is_instance(node.attr("ctx"), a_.load))
                add(rules::Rule::attribute_store, "..." + std::string(".") + attribute, line);
            judge_attribute(node.attr("value"), attribute, scope, line);
            judge_call_form(node.attr("value"), attribute, node, line);
            if (!owners_.count(node.ptr()) && !modules_of(node, scope).empty())
                add(rules::Rule::module_value, host::utf8(a_.module.attr("unparse")(node)), line);
        } else if (is_instance(node, a_.call)) {
            // Classes made by a call from given bases: make_dataclass(bases=),
            // Enum(type=) mixes a library class in.
            for (nb::handle kw : node.attr("keywords")) {
                nb::object name = kw.attr("arg");
                if (!name.is_none() && rules::names_class_bases(text_of(name)))
                    add(rules::Rule::class_form, "(" + text_of(name) + "=...)", line);
            }
            nb::object func = node.attr("func");
            if (!is_instance(func, a_.name)) return;
            std::string callee = text_of(func.attr("id"));
            if (!rules::names_attribute_dynamically(callee)) return;
            nb::object args = node.attr("args");
            if (nb::len(args) < 2 || !is_str_constant(args[1])) {
                add(rules::Rule::dynamic_attribute, callee + "(...)", line);
                return;
            }
            std::string attribute = text_of(nb::handle(args[1]).attr("value"));
            judge_attribute(args[0], attribute, scope, line);
            judge_call_form(args[0], attribute, nb::handle(), line);
            if (callee == "getattr" && !owners_.count(node.ptr()) &&
                !modules_of(node, scope).empty())
                add(rules::Rule::module_value, host::utf8(a_.module.attr("unparse")(node)), line);
        } else if (is_str_constant(node)) {
            std::string literal = text_of(node.attr("value"));
            if (rules::string_denied(literal))
                add(rules::Rule::denied_name, "'" + literal + "'", line);
        }
    }

    // Attributes whose danger depends on how they are called: a template's
    // format (the template must be a literal) and replace (Path.replace
    // renames). `attribute_node` is the attribute expression, or null when
    // the attribute is reached through getattr (never a direct call).
    void judge_call_form(nb::handle receiver, const std::string &attribute,
                         nb::handle attribute_node, std::size_t line) {
        const bool formats = rules::template_needs_literal(attribute);
        if (!formats && attribute != "replace") return;
        nb::object call;
        if (attribute_node.is_valid()) {
            auto found = calls_.find(attribute_node.ptr());
            if (found != calls_.end()) call = found->second;
        }
        if (formats) {
            if (!call.is_valid() || !is_str_constant(receiver))
                add(rules::Rule::format_template, unparsed(receiver) + "." + attribute, line);
            return;
        }
        std::size_t positional = 0;
        std::vector<std::string> keywords;
        bool unknown = !call.is_valid();
        if (call.is_valid()) {
            for (nb::handle arg : call.attr("args")) {
                if (is_instance(arg, a_.starred)) unknown = true;
                ++positional;
            }
            for (nb::handle kw : call.attr("keywords")) {
                nb::object name = kw.attr("arg");
                if (name.is_none())
                    unknown = true;
                else
                    keywords.push_back(text_of(name));
            }
        }
        if (unknown || rules::call_renames(attribute, positional, keywords))
            add(rules::Rule::denied_attribute,
                unparsed(receiver) + ".replace (a path's replace renames it)", line);
    }

    std::string unparsed(nb::handle node) { return host::utf8(a_.module.attr("unparse")(node)); }

    bool is_str_constant(nb::handle node) {
        return is_instance(node, a_.constant) && PyUnicode_Check(node.attr("value").ptr());
    }

    void check_default(nb::handle value) {
        nb::handle inner = value;
        if (is_instance(inner, a_.unary)) inner = value.attr("operand");
        if (!is_instance(inner, a_.constant))
            add(rules::Rule::default_value, host::utf8(a_.module.attr("unparse")(value)),
                line_of(value));
    }

    // A plain type expression: names, dotted names, constants, subscripts,
    // tuples and lists of those, and "|" unions. Nothing that calls; a
    // string (a forward reference, evaluated by whoever resolves the hints)
    // must hold a plain type expression too.
    void check_annotation(nb::handle annotation, int depth = 0) {
        if (annotation.is_none()) return;
        for (nb::handle node : a_.walk(annotation)) {
            bool plain = is_instance(node, a_.name) || is_instance(node, a_.attribute) ||
                         is_instance(node, a_.constant) || is_instance(node, a_.subscript) ||
                         is_instance(node, a_.tuple) || is_instance(node, a_.list) ||
                         is_instance(node, a_.binop) || is_instance(node, a_.expr_context) ||
                         is_instance(node, a_.operator_);
            if (plain && is_str_constant(node)) {
                nb::object parsed;
                try {
                    parsed =
                        a_.module.attr("parse")(node.attr("value"), "mode"_a = "eval").attr("body");
                } catch (nb::python_error &e) {
                    if (!e.matches(PyExc_Exception)) throw;
                }
                plain = parsed.is_valid() && depth < 2 && plain_annotation(parsed, depth + 1);
            }
            if (!plain) {
                add(rules::Rule::annotation, host::utf8(a_.module.attr("unparse")(annotation)),
                    line_of(annotation));
                return;
            }
        }
    }

    bool plain_annotation(nb::handle annotation, int depth) {
        std::size_t before = findings.size();
        check_annotation(annotation, depth);
        bool plain = findings.size() == before;
        findings.resize(before);
        return plain;
    }

    const Ast &a_;
    std::set<std::string> extra_;
    std::vector<std::unique_ptr<Scope>> scopes_;
    std::unordered_set<PyObject *> owners_, direct_calls_;
    std::unordered_map<PyObject *, nb::object> calls_;  // a call's function -> the call
};

// The host's additions to the allow-list; names that may not be added are
// named in a warning, once for each value of the variable.
std::set<std::string> extra_modules() {
    nb::object value =
        host::import("os").attr("environ").attr("get")(host::from_utf8(rules::kModulesEnv), "");
    std::string text = host::utf8(nb::str(value));
    std::vector<std::string> refused;
    std::set<std::string> extra = rules::extra_modules(text, &refused);
    static std::string warned;  // guarded by the GIL
    if (!refused.empty() && text != warned) {
        warned = text;
        std::vector<std::string> addable(rules::addable_modules().begin(),
                                         rules::addable_modules().end());
        logger.warning(rules::kNotAddedWarning, host::from_utf8(plexaro::text::join(refused, ", ")),
                       host::from_utf8(plexaro::text::join(addable, ", ")));
    }
    return extra;
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
