// Helpers shared by every binding: the host's typed-parameter conventions,
// its str/repr, and logging through the host's `logging` package.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nb = nanobind;

namespace plexaro::host {

// --- typed parameters -------------------------------------------------------
// nanobind refuses None for a parameter unless told otherwise; the layer's
// parameters take any host value and check it themselves, so declare every
// one with `host::param("name")` (a default: `host::param("name") = nb::none()`).
// Such a parameter would show as `object | None` in the typed stubs, so each
// definition also carries an `nb::sig` with the types the host should pass
// (the stubs tests check that its parameters are the bound ones).
inline auto param(const char *name) { return nb::arg(name).none(); }

// Every check accepts exactly the host's type (a subclass is rejected) and
// raises TypeError("Argument 'NAME' has incorrect type (expected T, got U)").

[[noreturn]] void raise_arg_type(const char *name, const char *expected, nb::handle got);

nb::str arg_str(nb::handle value, const char *name);
std::optional<nb::str> arg_opt_str(nb::handle value, const char *name);
nb::list arg_list(nb::handle value, const char *name);
std::optional<nb::list> arg_opt_list(nb::handle value, const char *name);
nb::dict arg_dict(nb::handle value, const char *name);
std::optional<nb::dict> arg_opt_dict(nb::handle value, const char *name);

// A whole-number parameter takes any number and converts it (2.5 -> 2);
// anything else is rejected as "int".
nb::int_ arg_int(nb::handle value, const char *name);
std::optional<nb::int_> arg_opt_int(nb::handle value, const char *name);

// The host's truth of any value (`bool(value)`; its __bool__/__len__ run).
bool truthy(nb::handle value);

// A boolean parameter takes the truth of any value.
inline bool arg_bool(nb::handle value) { return truthy(value); }

// Return check of an operation declared to return `expected_name`:
// raises TypeError("Expected str, got int") when the value is of another type.
void expect_type(nb::handle value, PyTypeObject *type, const char *expected_name);
inline nb::str expect_str(nb::handle value) {
    expect_type(value, &PyUnicode_Type, "str");
    return nb::borrow<nb::str>(value);
}

// --- host conversions -------------------------------------------------------

std::string str(nb::handle value);   // host display form, as UTF-8
std::string repr(nb::handle value);  // host representation, as UTF-8
const char *type_name(nb::handle value);

// UTF-8 text of an exact str (surrogates kept by "surrogatepass").
std::string utf8(nb::handle s);
nb::str from_utf8(std::string_view text);

// File-system paths: the host's own encoding rules (os.fsencode/os.fsdecode),
// so names that are not valid UTF-8 survive the round trip.
std::string fs_path(nb::handle path);
nb::str from_fs_path(std::string_view path);

// Attribute lookups that go through the host, so patched attributes are obeyed.
inline nb::object attr(nb::handle obj, const char *name) { return obj.attr(name); }
nb::object import(const char *module);
inline nb::object os_path() { return import("os.path"); }

// --- host values ----------------------------------------------------------------

// A str (exactly: no subclass) with at least one character.
bool is_nonempty_exact_str(nb::handle value);
// A str or an instance of a subclass of str, with at least one character.
bool is_nonempty_str_or_subclass(nb::handle value);

// `a <op> b` answered by the host (op: Py_EQ, Py_NE, Py_LT, ...).
bool compare(nb::handle a, nb::handle b, int op);

// `item in container`, answered by the host (its __contains__ runs).
bool contains(nb::handle container, nb::handle item);

// The dict's own item under `key`, or `fallback` when it has none: a plain
// dict lookup that no `get` of a dict subclass can change.
nb::object dict_item_or(nb::handle dict, const char *key, nb::handle fallback);
// `mapping.get(key, fallback)` through the host's attribute lookup, so any
// mapping (or a replaced `get`) answers for itself.
nb::object mapping_get(nb::handle mapping, const char *key, nb::handle fallback);

// A positive number set in the process environment (os.environ, read at
// every call): `fallback` when the variable is unset or empty; ValueError
// ("NAME must be a positive number of UNIT, got 'text'") when it is not a
// number, not above 0, or above `most`.
double positive_setting(const char *variable, double fallback, const char *unit,
                        double most = std::numeric_limits<double>::max());

// The pipeline volume: PIPELINE_VOLUME_PATH of the process environment
// (os.environ, read at every call), "" when unset.
nb::object volume_path();

// --- logging ---------------------------------------------------------------
// Messages go to logging.getLogger(name) as a printf template plus its
// arguments, exactly as host code would log them.
class Logger {
public:
    explicit Logger(const char *name) : name_(name) {}

    template <typename... Args>
    void debug(const char *tmpl, Args &&...args) const {
        emit("debug", 10, tmpl, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void info(const char *tmpl, Args &&...args) const {
        emit("info", 20, tmpl, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void warning(const char *tmpl, Args &&...args) const {
        emit("warning", 30, tmpl, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void error(const char *tmpl, Args &&...args) const {
        emit("error", 40, tmpl, std::forward<Args>(args)...);
    }

    nb::object logger() const;

private:
    template <typename... Args>
    void emit(const char *method, int level, const char *tmpl, Args &&...args) const {
        nb::object lg = logger();
        if (!nb::cast<bool>(lg.attr("isEnabledFor")(level))) return;
        lg.attr(method)(tmpl, std::forward<Args>(args)...);
    }

    const char *name_;
};

// --- plain host classes -------------------------------------------------------
// Every class of the layer is a plain class whose state lives in the
// instance's __dict__, so the host can read and replace each attribute and
// patch each method. The C++ side of an instance is an empty tag.
template <typename Tag>
nb::class_<Tag> plain_class(nb::handle scope, const char *name, const char *doc = nullptr) {
    return nb::class_<Tag>(scope, name, nb::dynamic_attr(), doc ? doc : "");
}

// The RuntimeError / ValueError / TypeError of the host with a message.
[[noreturn]] void raise(PyObject *exc_type, const std::string &message);

}  // namespace plexaro::host
