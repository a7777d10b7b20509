#include "weftling/rules.hpp"

#include "common/text.hpp"

#include <algorithm>
#include <iterator>

namespace plexaro::weftling::rules {

namespace {

template <std::size_t N>
bool among(const std::string_view (&set)[N], std::string_view name) {
    return std::find(std::begin(set), std::end(set), name) != std::end(set);
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

// Reviewed for the host's additions: pure computation on bytes, text and
// numbers. Left out on purpose: uuid (uuid1 and getnode run programs), xml
// as a whole (xml.sax and xml.dom fetch external entities through urllib),
// zipfile and tarfile (extraction writes where an archive says), and every
// module that starts processes, opens sockets, loads or unpickles code.
const std::vector<std::string_view> kAddable = {
    "array",   "base64", "binascii",  "colorsys",    "difflib",   "hashlib",
    "hmac",    "html",   "ipaddress", "numbers",     "pprint",    "random",
    "secrets", "shlex",  "struct",    "unicodedata", "xml.etree",
};

constexpr std::string_view kDeniedModules[] = {
    "posix",  "nt",       "subprocess",      "socket",    "ssl",        "urllib",  "http",
    "ftplib", "smtplib",  "importlib",       "ctypes",    "pickle",     "marshal", "shelve",
    "sys",    "builtins", "multiprocessing", "threading", "_thread",    "signal",  "pty",
    "code",   "codeop",   "runpy",           "asyncio",   "webbrowser",
};

constexpr std::string_view kDeniedNames[] = {
    "eval",
    "exec",
    "compile",
    "globals",
    "locals",
    "vars",
    "breakpoint",
    "input",
    "setattr",
    "delattr",
    "help",
    "exit",
    "quit",
    // type(type(x)) is the metaclass: called with three arguments it makes a
    // subclass of any library class, with a property that overrides what the
    // library relies on (a TemporaryDirectory whose name is another path).
    "type",
};

constexpr std::string_view kDynamicAttribute[] = {"getattr", "hasattr"};

// Attributes refused on any object: process control, file removal,
// renaming and permission changes whatever object offers them (os, shutil,
// a pathlib.Path); helpers that reach attributes by a computed name or
// evaluate strings (operator.attrgetter, typing.get_type_hints,
// functools.singledispatch evaluates annotations); helpers that copy one
// object's attributes onto another (functools.update_wrapper); the
// process's working directory and environment; frames and code objects
// (gi_frame.f_globals reaches the module's namespace).
constexpr std::string_view kDeniedAnywhere[] = {
    "system",
    "popen",
    "fork",
    "forkpty",
    "kill",
    "killpg",
    "unlink",
    "rmdir",
    "rmtree",
    "removedirs",
    "rename",
    "chmod",
    "lchmod",
    "chown",
    "lchown",
    "chflags",
    "lchflags",
    "hardlink_to",
    "link_to",
    "truncate",
    "eval",
    "exec",
    "breakpoint",
    "attrgetter",
    "methodcaller",
    "get_field",
    "get_type_hints",
    "ForwardRef",
    "evaluate_forward_ref",
    "singledispatch",
    "singledispatchmethod",
    "update_wrapper",
    "wraps",
    "make_archive",
    "unpack_archive",
    "chdir",
    "putenv",
    "unsetenv",
    "environ",
    "environb",
    "gi_frame",
    "gi_code",
    "gi_yieldfrom",
    "cr_frame",
    "cr_code",
    "cr_await",
    "ag_frame",
    "ag_code",
    "ag_await",
    "f_globals",
    "f_locals",
    "f_builtins",
    "f_back",
    "f_code",
    "tb_frame",
    "tb_next",
    "co_code",
    // Fields of a template filled by attribute and item lookups on the
    // arguments ("{0.__globals__[os]}"): only a literal template's
    // format/format_map, never a Formatter.
    "vformat",
    "Formatter",
    // Classes made at run time from any bases.
    "make_dataclass",
    "new_class",
    "EnumType",
    "EnumMeta",
    "ABCMeta",
};

// What a connector needs of os: paths, listing and walking, directories
// and symbolic links, file status, the descriptor of a mkstemp file.
// Everything else there starts or signals processes, removes, renames,
// truncates or changes permissions, opens raw descriptors, or changes the
// process (working directory, environment, umask, ids).
constexpr std::string_view kOsAllowed[] = {
    "path",      "sep",      "altsep", "extsep",   "pathsep",  "linesep", "curdir",  "pardir",
    "devnull",   "name",     "fspath", "fsencode", "fsdecode", "getcwd",  "listdir", "scandir",
    "walk",      "makedirs", "mkdir",  "symlink",  "readlink", "stat",    "lstat",   "stat_result",
    "DirEntry",  "PathLike", "access", "F_OK",     "R_OK",     "W_OK",    "X_OK",    "getenv",
    "cpu_count", "getpid",   "getuid", "getgid",   "urandom",  "error",   "close",   "fdopen",
};

// What a connector needs of shutil: copies. Moving (removes its source),
// removing, permission copies, archives and registries are left out.
constexpr std::string_view kShutilAllowed[] = {
    "copy",  "copy2",      "copyfile", "copyfileobj",   "copytree",         "ignore_patterns",
    "which", "disk_usage", "Error",    "SameFileError", "SpecialFileError",
};

bool is_space_or_comma(char c) {
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view top_of(std::string_view dotted) { return dotted.substr(0, dotted.find('.')); }

// `dotted` is `package` or one of its submodules.
bool within(std::string_view dotted, std::string_view package) {
    return dotted == package || (text::starts_with(dotted, package) &&
                                 dotted.size() > package.size() && dotted[package.size()] == '.');
}

}  // namespace

const std::vector<std::string_view> &allowed_modules() { return kAllowed; }
const std::vector<std::string_view> &addable_modules() { return kAddable; }

bool module_denied(std::string_view top_level) { return among(kDeniedModules, top_level); }

std::set<std::string> extra_modules(std::string_view env_value, std::vector<std::string> *refused) {
    std::set<std::string> out;
    std::size_t i = 0;
    while (i < env_value.size()) {
        while (i < env_value.size() && is_space_or_comma(env_value[i])) ++i;
        std::size_t start = i;
        while (i < env_value.size() && !is_space_or_comma(env_value[i])) ++i;
        if (i == start) continue;
        std::string_view name = env_value.substr(start, i - start);
        bool addable = std::any_of(kAddable.begin(), kAddable.end(),
                                   [&](std::string_view m) { return within(name, m); });
        if (addable)
            out.emplace(name);
        else if (refused)
            refused->emplace_back(name);
    }
    return out;
}

bool import_allowed(std::string_view dotted, const std::set<std::string> &extra) {
    std::string_view top = top_of(dotted);
    if (top.empty() || module_denied(top)) return false;
    if (std::find(kAllowed.begin(), kAllowed.end(), top) != kAllowed.end()) return true;
    return std::any_of(extra.begin(), extra.end(),
                       [&](const std::string &m) { return within(dotted, m); });
}

bool name_denied(std::string_view name) {
    return among(kDeniedNames, name) || text::starts_with(name, "__");
}

bool string_denied(std::string_view literal) {
    // A double-underscore word that can name an attribute or a key: the
    // whole string ("__globals__", for attrgetter-like helpers and namespace
    // keys) or a field of a format template ("{0.__globals__}"). Underscores
    // inside a word ("S1__R1__001") do not count, nor does a file name with
    // an extension ("__init__.py", "pkg/__main__.py").
    auto word = [](char c) {
        return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               (c >= '0' && c <= '9') || static_cast<unsigned char>(c) >= 0x80;
    };
    for (std::size_t i = 0; i + 5 <= literal.size(); ++i) {
        if (literal.compare(i, 2, "__") != 0 || (i > 0 && word(literal[i - 1]))) continue;
        std::size_t end = i;
        while (end < literal.size() && word(literal[end])) ++end;
        std::string_view token = literal.substr(i, end - i);
        if (token.size() >= 5 && token.substr(token.size() - 2) == "__" &&
            token.find_first_not_of('_') != std::string_view::npos) {
            bool file_name = (i == 0 || literal[i - 1] == '/') && end + 1 < literal.size() &&
                             literal[end] == '.' && word(literal[end + 1]) &&
                             literal[end + 1] != '_';
            if (!file_name) return true;
        }
        i = end;
    }
    return false;
}

bool names_class_bases(std::string_view keyword) {
    return keyword == "bases" || keyword == "type" || keyword == "metaclass";
}

bool template_needs_literal(std::string_view attribute) {
    return attribute == "format" || attribute == "format_map";
}

bool call_renames(std::string_view attribute, std::size_t positional,
                  const std::vector<std::string> &keywords) {
    if (attribute != "replace") return false;
    if (std::find(keywords.begin(), keywords.end(), "target") != keywords.end()) return true;
    return positional == 1 && keywords.empty();
}

bool attribute_denied(std::string_view owner, std::string_view attribute) {
    if (text::starts_with(attribute, "_")) return true;  // private parts and dunder escapes
    if (module_denied(attribute)) return true;           // os.sys, typing.sys, ...
    if (among(kDeniedAnywhere, attribute)) return true;
    if (owner == "os") return !among(kOsAllowed, attribute);
    if (owner == "shutil") return !among(kShutilAllowed, attribute);
    return false;
}

bool reached_module_allowed(std::string_view owner_name, std::string_view attribute,
                            std::string_view real_name, const std::set<std::string> &extra) {
    if (owner_name == "os" && attribute == "path") return true;
    if (import_allowed(real_name, extra)) return true;
    // A submodule reached from its package (collections.abc, xml.etree):
    // the package decides.
    std::string sub = std::string(owner_name) + "." + std::string(attribute);
    return real_name == sub && import_allowed(owner_name, extra);
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
        return "eval, exec, compile, __import__, globals, locals, vars, breakpoint, input, "
               "setattr, delattr, help, exit, quit, type and double-underscore names (also in "
               "strings) are not allowed";
    case Rule::denied_attribute:
        return "no process, network, code-loading, file-removing, renaming or permission-changing "
               "calls, no attribute lookup by computed name or string evaluation, no private "
               "attributes and no modules outside the allow-list";
    case Rule::dynamic_attribute:
        return "getattr and hasattr need a literal attribute name and must be called directly";
    case Rule::module_value: return "a module may only be used through its attributes";
    case Rule::attribute_store:
        return "attributes of objects must not be assigned or deleted (build a dict instead)";
    case Rule::format_template:
        return "str.format and format_map need a literal template and must be called directly";
    case Rule::class_form:
        return "classes may not derive from other classes (no base classes, metaclass or mixin "
               "type) and no function may have a double-underscore name";
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
