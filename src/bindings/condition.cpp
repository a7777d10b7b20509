// plexaro.helpers.condition: branch conditions, a comparator and a fixed
// right-hand value checked against a run-time value.
#include "common/host.hpp"

namespace host = plexaro::host;
using namespace nb::literals;

namespace {

struct Condition {};

constexpr const char *kModule = "plexaro.helpers.condition";

// The table is looked up on the module at every use, so a host that edits
// or replaces `_OPS` is obeyed.
nb::object ops_table() { return host::import(kModule).attr("_OPS"); }

}  // namespace

NB_MODULE(condition, m) {
    m.doc() = "Branch conditions: a comparator and a right-hand value.";

    nb::object op = nb::module_::import_("operator");
    nb::dict ops;
    for (auto [text, fn] : {std::pair{">", "gt"},
                            {"<", "lt"},
                            {">=", "ge"},
                            {"<=", "le"},
                            {"==", "eq"},
                            {"!=", "ne"}})
        ops[text] = op.attr(fn);
    m.attr("_OPS") = ops;

    host::plain_class<Condition>(m, "Condition",
                                 "A comparator of _OPS and the value `a` it compares against.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<Condition> self, nb::handle comparator, nb::handle a) {
                new (self.p) Condition();
                nb::str text = host::arg_str(comparator, "comparator");
                nb::object table = ops_table();
                if (!host::contains(table, text))
                    host::raise(PyExc_ValueError,
                                "Unsupported comparator " + host::repr(text) +
                                    ". Use one of: " + host::repr(nb::list(table)));
                nb::setattr(self.h, "comparator", text);
                nb::setattr(self.h, "a", a);
            },
            host::param("comparator"), host::param("a"),
            nb::sig("def __init__(self, comparator: str, a: object) -> None"))
        .def(
            "check",
            [](nb::handle self, nb::handle x) -> nb::object {
                nb::object comparison = ops_table()[self.attr("comparator")];
                return comparison(x, self.attr("a"));
            },
            host::param("x"), nb::sig("def check(self, x: object) -> bool"),
            "Compare the run-time value `x` (left) with `a` (right).");
}
