#include "weftling.hpp"

#include "weftling/source.hpp"

namespace core = plexaro::weftling;
using namespace nb::literals;

namespace plexaro::weftling_binding {

const host::Logger logger(kModule);

bool is_word(char32_t cp) { return cp == U'_' || Py_UNICODE_ISALNUM((Py_UCS4)cp); }

nb::str node_id(nb::handle node) { return host::arg_str(node.attr("id"), "node_id"); }

std::string edge_name(nb::handle u_id, nb::handle v_id, const char *u_param, const char *v_param) {
    std::string u = host::utf8(host::arg_str(u_id, u_param));
    std::string v = host::utf8(host::arg_str(v_id, v_param));
    return core::edge_fn(u, v, is_word);
}

nb::object attr_or_none(nb::handle obj, const char *name) {
    PyObject *value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::none();
}

bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

std::pair<nb::object, nb::object> unpack_pair(nb::handle pair) {
    nb::tuple items = nb::tuple(nb::borrow(pair));
    if (items.size() != 2)
        host::raise(PyExc_ValueError, "expected a pair (node, function name), got " +
                                          std::to_string(items.size()) + " items");
    return {items[0], items[1]};
}

}  // namespace plexaro::weftling_binding

namespace wb = plexaro::weftling_binding;

NB_MODULE(weftling, m) {
    m.doc() =
        "Connector functions between pipeline steps, written by the LLM and kept in one file.";

    // The LLM client module and the host's path lookup are bound at load
    // time: a missing vendor library makes loading this module fail.
    m.attr("Promptel") = wb::host::import("plexaro.helpers.promptel").attr("Promptel");
    m.attr("_get_connectors_path") =
        wb::host::import("plexaro.helpers.paths").attr("get_connectors_path");
    m.attr("logger") = wb::host::import("logging").attr("getLogger")(wb::kModule);

    m.def(
        "_connectors_path",
        []() -> nb::object {
            nb::object path = wb::self_module().attr("_get_connectors_path")();
            if (!path.is_none()) wb::host::expect_str(path);
            return path;
        },
        nb::sig("def _connectors_path() -> str | None"),
        "Path of the connectors file, asked of the host afresh on every use.");
    m.def(
        "_ident",
        [](nb::handle node_id) {
            std::string id = wb::host::utf8(wb::host::arg_str(node_id, "node_id"));
            return wb::host::from_utf8(core::ident(id, wb::is_word));
        },
        "node_id"_a.none(), nb::sig("def _ident(node_id: str) -> str"),
        "Identifier fragment of a node id (text after the last '.', \\W -> '_').");
    m.def(
        "_edge_fn",
        [](nb::handle u_id, nb::handle v_id) {
            return wb::host::from_utf8(wb::edge_name(u_id, v_id, "u_id", "v_id"));
        },
        "u_id"_a.none(), "v_id"_a.none(), nb::sig("def _edge_fn(u_id: str, v_id: str) -> str"),
        "Connector function name of the edge u_id -> v_id.");
    m.def(
        "_default_llm",
        []() { return wb::host::import("plexaro.helpers.promptel").attr("default_llm")(); },
        nb::sig("def _default_llm() -> Promptel"), "A new LLM client chosen from the environment.");

    wb::Class cls = wb::host::plain_class<wb::Weftling>(
        m, "Weftling", "Writes, stores and loads the connector functions of one pipeline.");
    wb::bind_store(m, cls);
    wb::bind_prompt(cls);
    wb::bind_cleanup(cls);
    wb::bind_worker(m);
}
