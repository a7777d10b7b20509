// What a model's reply may contain before it is stored as connector code.
//
// Connector code is written by a model from a prompt that carries text of a
// step's outputs, so a reply is untrusted. The connectors file is executed
// in the host process, so a stored batch may hold nothing that runs when the
// file is loaded (only plain function definitions with constant defaults and
// plain annotations), may not replace or plant another edge's connector, and
// its functions may call no process, network, code-loading, file-removing,
// renaming or permission-changing interface, may reach no module outside the
// allow-list (by import, by attribute or by name through a string) and may
// change no attribute of any object. The binding walks the host's syntax
// tree and asks these tables; the rule texts and the messages built from
// them live here.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::weftling::rules {

// The environment variable through which the host widens the allow-list:
// module names separated by commas or white space.
inline constexpr std::string_view kModulesEnv = "PLEXARO_CONNECTOR_MODULES";

// Top-level module names a function body may import (without the host's
// additions).
const std::vector<std::string_view> &allowed_modules();

// The modules the host may add through the environment variable: reviewed
// one by one (with their submodules), none of them can start a process,
// open a socket or load code. A dotted entry adds that package only.
const std::vector<std::string_view> &addable_modules();

// Modules refused as attributes on any object whatever was added:
// processes, network, code loading, serialised code, interpreter internals.
bool module_denied(std::string_view top_level);

// The module names listed in the environment variable's value that may be
// added (an addable module or a submodule of one); the others are listed in
// `refused` when it is given.
std::set<std::string> extra_modules(std::string_view env_value,
                                    std::vector<std::string> *refused = nullptr);

// The warning logged (once per value of the variable) for names that were
// not added; "%s" placeholders: the names, then the addable modules.
inline constexpr const char *kNotAddedWarning =
    "PLEXARO_CONNECTOR_MODULES: %s not added: only these modules may be added: %s";

// Whether `dotted` (a module named by an import, or the real name of a
// module reached as an attribute) may be used.
bool import_allowed(std::string_view dotted, const std::set<std::string> &extra);

// A name that may not appear at all: the code-running, introspection and
// attribute-changing built-ins (eval, exec, compile, __import__, globals,
// setattr, ...) and every double-underscore name.
bool name_denied(std::string_view name);

// A string literal holding a double-underscore word on its own
// ("__globals__", "{0.__globals__}"): refused, since strings name
// attributes for getattr-like helpers, keys of namespaces and fields of
// format templates.
bool string_denied(std::string_view literal);

// A call keyword that gives a class made at run time its bases
// (make_dataclass's bases, Enum's mixin type, a metaclass).
bool names_class_bases(std::string_view keyword);

// format and format_map: their template's fields look up attributes and
// items of the arguments, so the template must be a literal (which
// string_denied then judges).
bool template_needs_literal(std::string_view attribute);

// Whether a call of `attribute` with `positional` arguments and these
// keyword names may rename a file: Path.replace(target) moves one, where
// str.replace(old, new) and date.replace(year=...) substitute.
bool call_renames(std::string_view attribute, std::size_t positional,
                  const std::vector<std::string> &keywords);

// An attribute that may not be used. `owner` is the name of the module the
// object is known to be ("os", "os.path", "json.decoder"), or empty when the
// object is not known to be a module. Private attributes, attributes named
// after a denied module, the calls that start processes, remove, rename or
// change permissions whatever object offers them, the helpers that reach
// attributes by a computed name or evaluate strings, and on `os` and
// `shutil` everything outside their reviewed lists are refused.
bool attribute_denied(std::string_view owner, std::string_view attribute);

// Whether a module reached as `attribute` of the module `owner_name` (both
// the names the modules give themselves), itself named `real_name`, may be
// used: an allowed module, or a submodule of an allowed one reached from
// its package, or os.path.
bool reached_module_allowed(std::string_view owner_name, std::string_view attribute,
                            std::string_view real_name, const std::set<std::string> &extra);

// Whether an attribute of that name on any object is taken to be the module
// of the same name (glob.os is os), so its own attributes are judged as the
// module's.
bool names_a_module(std::string_view attribute);

// Built-ins whose second argument names an attribute: called with a
// literal name the attribute is judged like any other; called with any
// other value, or used as a value, they are refused.
bool names_attribute_dynamically(std::string_view builtin);

// The naming form of connectors: "edge_" + fragment + "_to_" + fragment.
bool is_connector_name(std::string_view name);

// --- findings and their texts ---------------------------------------------------

enum class Rule {
    syntax,             // the code does not parse
    top_level,          // a top-level statement other than a function definition
    decorator,          // a decorated function
    default_value,      // a default value that is not a constant
    annotation,         // an annotation that is not a plain type expression
    import_module,      // an import of a module outside the allow-list
    import_form,        // a relative or star import
    denied_name,        // eval, exec, __import__, a dunder name, ...
    denied_attribute,   // os.system, shutil.rmtree, x.__class__, os.sys, enum.bltns, ...
    dynamic_attribute,  // getattr and hasattr with a computed name, or as a value
    module_value,       // a module used as a value (aliasing it past these checks)
    attribute_store,    // an attribute assigned or deleted (t.name = ...)
    format_template,    // format/format_map of a template that is not a literal
    class_form,         // a class with bases (or bases= / type= keywords), a dunder-named function
    scope,              // a global or nonlocal statement
    does_not_load,      // compiling or loading the batch into a fresh namespace fails
};

struct Finding {
    Rule rule;
    std::string subject;   // the offending name, statement kind or error text
    std::size_t line = 0;  // 1-based line in the batch; 0 when unknown
};

// The rule a finding breaks, in words.
std::string_view rule_text(Rule rule);

// One line naming the rule and what broke it: "line 3: <rule> (<subject>)".
std::string describe(const Finding &finding);

// The repair request sent to the model (at most once per batch).
std::string repair_prompt(const std::vector<Finding> &findings, std::string_view code);

// The ValueError text when the repaired reply still breaks a rule.
std::string refusal(const std::vector<std::string> &edges, const std::vector<Finding> &findings);

}  // namespace plexaro::weftling::rules
