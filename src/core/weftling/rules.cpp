#include "weftling/rules.hpp"

#include "common/text.hpp"

#include <algorithm>
#include <array>

namespace plexaro::weftling::rules {

namespace {

template <std::size_t N>
bool among(const std::array<std::string_view, N> &set, std::string_view name) {
    return std::find(set.begin(), set.end(), name) != set.end();
}

// Everything the connector prompt asks a connector to do: list, glob and
// match paths, make directories and links, write a converted file into a new
// temporary file or directory, copy a file, parse and convert text formats.
const std::vector<std::string_view> kAllowed = {
    "os",          "json",      "glob",      "tempfile", "re",          "csv",    "pathlib",
    "shutil",      "gzip",      "bz2",       "lzma",     "zlib",        "math",   "statistics",
    "collections", "itertools", "functools", "string",   "fnmatch",     "typing", "io",
    "datetime",    "operator",  "copy",      "textwrap", "dataclasses", "heapq",  "bisect",
    "decimal",     "fractions", "enum",
};

constexpr std::array<std::string_view, 26> kDeniedModules = {
    "posix",  "nt",       "subprocess",      "socket",    "ssl",        "urllib",  "http",
    "ftplib", "smtplib",  "importlib",       "ctypes",    "pickle",     "marshal", "shelve",
    "sys",    "builtins", "multiprocessing", "threading", "_thread",    "signal",  "pty",
    "code",   "codeop",   "runpy",           "asyncio",   "webbrowser",
};

constexpr std::array<std::string_view, 8> kDeniedNames = {
    "eval", "exec", "compile", "globals", "locals", "vars", "breakpoint", "input",
};

constexpr std::array<std::string_view, 4> kDynamicAttribute = {"getattr", "setattr", "delattr",
                                                               "hasattr"};

// Calls refused on any object: their names belong to process control or
// file removal whatever object offers them (os, shutil, a pathlib.Path).
constexpr std::array<std::string_view, 10> kDeniedAnywhere = {
    "system", "popen",  "fork",  "forkpty", "kill",
    "killpg", "unlink", "rmdir", "rmtree",  "removedirs",
};

// Further calls refused on the os module (their names are common methods
// elsewhere: list.remove, str.replace).
constexpr std::array<std::string_view, 8> kDeniedOnOs = {
    "remove", "rename", "renames", "replace", "truncate", "startfile", "plock", "abort",
};

bool is_space_or_comma(char c) {
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view top_of(std::string_view dotted) { return dotted.substr(0, dotted.find('.')); }

}  // namespace

const std::vector<std::string_view> &allowed_modules() { return kAllowed; }

bool module_denied(std::string_view top_level) { return among(kDeniedModules, top_level); }

std::set<std::string> extra_modules(std::string_view env_value) {
    std::set<std::string> out;
    std::size_t i = 0;
    while (i < env_value.size()) {
        while (i < env_value.size() && is_space_or_comma(env_value[i])) ++i;
        std::size_t start = i;
        while (i < env_value.size() && !is_space_or_comma(env_value[i])) ++i;
        if (i > start) out.emplace(top_of(env_value.substr(start, i - start)));
    }
    return out;
}

bool import_allowed(std::string_view dotted, const std::set<std::string> &extra) {
    std::string_view top = top_of(dotted);
    if (top.empty() || module_denied(top)) return false;
    if (std::find(kAllowed.begin(), kAllowed.end(), top) != kAllowed.end()) return true;
    return extra.count(std::string(top)) > 0;
}

bool name_denied(std::string_view name) {
    return among(kDeniedNames, name) || text::starts_with(name, "__");
}

bool attribute_denied(std::string_view owner, std::string_view attribute) {
    if (text::starts_with(attribute, "_")) return true;  // private parts and dunder escapes
    if (module_denied(attribute)) return true;           // os.sys, typing.sys, ...
    if (among(kDeniedAnywhere, attribute)) return true;
    if (owner == "os") {
        if (among(kDeniedOnOs, attribute)) return true;
        for (std::string_view prefix : {"exec", "spawn", "posix_spawn", "fork"})
            if (text::starts_with(attribute, prefix)) return true;
    }
    if (owner == "shutil" && attribute == "move") return true;  // removes its source
    return false;
}

bool names_a_module(std::string_view attribute) {
    return attribute == "os" || attribute == "shutil" || attribute == "pathlib";
}

bool names_attribute_dynamically(std::string_view builtin) {
    return among(kDynamicAttribute, builtin);
}

bool is_connector_name(std::string_view name) {
    return text::starts_with(name, "edge_") && name.find("_to_", 4) != std::string_view::npos;
}

std::string_view rule_text(Rule rule) {
    switch (rule) {
    case Rule::syntax: return "the code must be valid Python";
    case Rule::top_level: return "only function definitions (def) may stand at the top level";
    case Rule::decorator: return "functions must not be decorated";
    case Rule::default_value: return "default values of parameters must be constants";
    case Rule::annotation: return "annotations must be plain type names (no calls or expressions)";
    case Rule::import_module:
        return "imports inside a function are limited to these standard modules";
    case Rule::import_form: return "relative imports and 'import *' are not allowed";
    case Rule::denied_name:
        return "eval, exec, compile, __import__, globals, locals, vars, breakpoint, input and "
               "double-underscore names are not allowed";
    case Rule::denied_attribute:
        return "no process, network, code-loading or file-removing calls and no private attributes";
    case Rule::dynamic_attribute:
        return "getattr, setattr, delattr and hasattr need a literal attribute name";
    case Rule::module_value: return "a module may only be used through its attributes";
    case Rule::scope: return "global and nonlocal statements are not allowed";
    case Rule::does_not_load: return "the functions must load into a fresh module";
    }
    return "";
}

std::string describe(const Finding &finding) {
    std::string out;
    if (finding.line) out = "line " + std::to_string(finding.line) + ": ";
    out += rule_text(finding.rule);
    if (finding.rule == Rule::import_module) {
        std::vector<std::string> names(kAllowed.begin(), kAllowed.end());
        out += " (" + text::join(names, ", ") + ")";
    }
    if (!finding.subject.empty()) out += " - found " + finding.subject;
    return out;
}

std::string repair_prompt(const std::vector<Finding> &findings, std::string_view code) {
    std::string out = "The connector code breaks these rules:\n";
    for (const Finding &f : findings) out += "- " + describe(f) + "\n";
    out += "Fix and return only the corrected code, no markdown:\n\n";
    out.append(code);
    return out;
}

std::string refusal(const std::vector<std::string> &edges, const std::vector<Finding> &findings) {
    std::string out = "Connector code for " + text::join(edges, ", ") +
                      " was not stored: the model's reply (after one repair request) breaks ";
    out += findings.size() == 1 ? "a rule: " : "these rules: ";
    std::vector<std::string> lines;
    for (const Finding &f : findings) lines.push_back(describe(f));
    out += text::join(lines, "; ");
    return out;
}

}  // namespace plexaro::weftling::rules
