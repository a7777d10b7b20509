#include "common/host.hpp"

namespace plexaro::host {

void raise_arg_type(const char *name, const char *expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

namespace {
template <typename T>
T exact(nb::handle value, PyTypeObject *type, const char *name, const char *expected) {
    if (Py_TYPE(value.ptr()) != type) raise_arg_type(name, expected, value);
    return nb::borrow<T>(value);
}
}  // namespace

nb::str arg_str(nb::handle value, const char *name) {
    return exact<nb::str>(value, &PyUnicode_Type, name, "str");
}
std::optional<nb::str> arg_opt_str(nb::handle value, const char *name) {
    if (value.is_none()) return std::nullopt;
    return arg_str(value, name);
}
nb::list arg_list(nb::handle value, const char *name) {
    return exact<nb::list>(value, &PyList_Type, name, "list");
}
std::optional<nb::list> arg_opt_list(nb::handle value, const char *name) {
    if (value.is_none()) return std::nullopt;
    return arg_list(value, name);
}
nb::dict arg_dict(nb::handle value, const char *name) {
    return exact<nb::dict>(value, &PyDict_Type, name, "dict");
}
std::optional<nb::dict> arg_opt_dict(nb::handle value, const char *name) {
    if (value.is_none()) return std::nullopt;
    return arg_dict(value, name);
}

nb::int_ arg_int(nb::handle value, const char *name) {
    PyObject *v = value.ptr();
    if (PyLong_CheckExact(v)) return nb::borrow<nb::int_>(value);
    // bool is a number to the host; so are floats and anything with __index__.
    if (PyLong_Check(v) || PyFloat_Check(v) || PyIndex_Check(v) ||
        (Py_TYPE(v)->tp_as_number && Py_TYPE(v)->tp_as_number->nb_int)) {
        PyObject *converted = PyNumber_Long(v);
        if (!converted) throw nb::python_error();
        return nb::steal<nb::int_>(converted);
    }
    raise_arg_type(name, "int", value);
}
std::optional<nb::int_> arg_opt_int(nb::handle value, const char *name) {
    if (value.is_none()) return std::nullopt;
    return arg_int(value, name);
}

bool truthy(nb::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw nb::python_error();
    return truth != 0;
}

void expect_type(nb::handle value, PyTypeObject *type, const char *expected_name) {
    if (Py_TYPE(value.ptr()) != type) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected_name,
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
}

std::string str(nb::handle value) { return utf8(nb::str(value)); }
std::string repr(nb::handle value) { return utf8(nb::repr(value)); }
const char *type_name(nb::handle value) { return Py_TYPE(value.ptr())->tp_name; }

std::string utf8(nb::handle s) {
    PyObject *bytes = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass");
    if (!bytes) throw nb::python_error();
    std::string out(PyBytes_AS_STRING(bytes), (size_t)PyBytes_GET_SIZE(bytes));
    Py_DECREF(bytes);
    return out;
}

nb::str from_utf8(std::string_view text) {
    PyObject *s = PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t)text.size(), "surrogatepass");
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

std::string fs_path(nb::handle path) {
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &bytes)) throw nb::python_error();
    std::string out(PyBytes_AS_STRING(bytes), (size_t)PyBytes_GET_SIZE(bytes));
    Py_DECREF(bytes);
    return out;
}

nb::str from_fs_path(std::string_view path) {
    PyObject *s = PyUnicode_DecodeFSDefaultAndSize(path.data(), (Py_ssize_t)path.size());
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

nb::object import(const char *module) { return nb::module_::import_(module); }

bool is_nonempty_exact_str(nb::handle value) {
    return PyUnicode_CheckExact(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0;
}

bool is_nonempty_str_or_subclass(nb::handle value) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0;
}

bool compare(nb::handle a, nb::handle b, int op) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0) throw nb::python_error();
    return result == 1;
}

bool contains(nb::handle container, nb::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw nb::python_error();
    return found != 0;
}

nb::object dict_item_or(nb::handle dict, const char *key, nb::handle fallback) {
    PyObject *value = PyDict_GetItemString(dict.ptr(), key);
    if (!value) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(fallback);
    }
    return nb::borrow(value);
}

nb::object mapping_get(nb::handle mapping, const char *key, nb::handle fallback) {
    return mapping.attr("get")(key, fallback);
}

double positive_setting(const char *variable, double fallback, const char *unit, double most) {
    nb::object text = import("os").attr("environ").attr("get")(variable, "");
    if (!truthy(text)) return fallback;
    double value = -1;
    try {
        value = nb::cast<double>(import("builtins").attr("float")(text));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    if (!(value > 0) || value > most)
        raise(PyExc_ValueError, std::string(variable) + " must be a positive number of " + unit +
                                    ", got " + host::repr(text));
    return value;
}

nb::object volume_path() {
    return import("os").attr("environ").attr("get")("PIPELINE_VOLUME_PATH", "");
}

nb::object Logger::logger() const { return import("logging").attr("getLogger")(name_); }

void raise(PyObject *exc_type, const std::string &message) {
    PyErr_SetObject(exc_type, from_utf8(message).ptr());
    throw nb::python_error();
}

}  // namespace plexaro::host
