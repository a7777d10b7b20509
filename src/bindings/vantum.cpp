// plexaro.helpers.vantum: a short plain-text picture of what a finished step
// really wrote, for the model that writes connector code. The host supplies
// display forms and representations of its own values; the rules, the walk,
// the previews and the line texts live in the core.
#include "common/host.hpp"
#include "vantum/describe.hpp"

#include <optional>

namespace host = plexaro::host;
namespace vt = plexaro::vantum;

namespace {

constexpr const char *kModule = "plexaro.helpers.vantum";

// The file-system path a string names, or none when it can name no file
// (an embedded NUL, an unpaired surrogate): the host's isdir/isfile answer
// False for those rather than fail.
std::optional<std::string> path_of(nb::handle s) {
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(s.ptr(), &bytes)) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    std::string out(PyBytes_AS_STRING(bytes), (size_t)PyBytes_GET_SIZE(bytes));
    Py_DECREF(bytes);
    return out;
}

vt::ValueShape shape_of(nb::handle v) {
    vt::ValueShape shape;
    if (PyUnicode_Check(v.ptr())) {
        shape.type = vt::ValueShape::Type::text;
        shape.paths.push_back(path_of(v));
    } else if (PyList_Check(v.ptr())) {
        shape.type = vt::ValueShape::Type::list;
        shape.length = (std::size_t)PyList_GET_SIZE(v.ptr());
        // Past the first element that cannot name a file no rule looks further.
        for (std::size_t i = 0; i < shape.length; ++i) {
            nb::handle item = PyList_GET_ITEM(v.ptr(), (Py_ssize_t)i);
            if (!PyUnicode_Check(item.ptr())) break;
            shape.paths.push_back(path_of(item));
            if (!shape.paths.back()) break;
        }
    }
    return shape;
}

nb::object list_slice(nb::handle list, std::size_t count) {
    PyObject *slice = PyList_GetSlice(list.ptr(), 0, (Py_ssize_t)count);
    if (!slice) throw nb::python_error();
    return nb::steal(slice);
}

// `_describe_dir` as the module holds it now, so a host that replaces it is obeyed.
nb::object describe_dir_fn() { return host::import(kModule).attr("_describe_dir"); }

void describe_dir(nb::handle label, nb::handle d, nb::handle lines) {
    nb::object append = lines.attr("append");
    std::string label_text = host::str(label);
    // Any path the host accepts; a bytes path gets bytes names, as the
    // host's own walk would give.
    PyObject *fspath = PyOS_FSPath(d.ptr());
    if (!fspath) throw nb::python_error();
    nb::object path = nb::steal(fspath);
    bool as_bytes = PyBytes_Check(fspath);
    std::string dir = host::fs_path(path);

    vt::DirSnapshot snap;
    {
        nb::gil_scoped_release unlocked;
        snap = vt::snapshot_dir(dir);
    }

    nb::list names;
    for (const std::string &rel : snap.files) {
        if (as_bytes)
            names.append(nb::bytes(rel.data(), rel.size()));
        else
            names.append(host::from_fs_path(rel));
    }
    append(host::from_utf8(vt::dir_line(label_text, host::repr(d), host::repr(names))));
    for (std::size_t i = 0; i < snap.files.size(); ++i)
        if (auto line = vt::dir_file_line(host::repr(names[i]), snap.looks[i]))
            append(host::from_utf8(*line));
}

nb::object build_vantum(nb::handle data, nb::handle header) {
    nb::dict mapping = host::arg_dict(data, "data");
    nb::str first = host::arg_str(header, "header");
    nb::list lines;
    lines.append(first);

    for (nb::handle item : mapping.attr("items")()) {
        nb::object k = nb::borrow(item[0]), v = nb::borrow(item[1]);
        std::string key = host::str(k);
        vt::ValueShape shape = shape_of(v);
        vt::Decision decision;
        {
            nb::gil_scoped_release unlocked;
            decision = vt::choose_rule(shape);
        }
        switch (decision.rule) {
        case vt::Rule::directory: describe_dir_fn()(k, v, lines); break;
        case vt::Rule::file: {
            std::string path_repr = host::repr(v);
            vt::FileSnapshot snap;
            {
                nb::gil_scoped_release unlocked;
                snap = vt::snapshot_file(*shape.paths[0]);
            }
            lines.append(
                host::from_utf8(vt::file_line(key, path_repr, decision.size, snap.look.format)));
            if (!snap.companions.empty()) {
                nb::list found;
                for (const std::string &c : snap.companions) found.append(host::from_fs_path(c));
                lines.append(host::from_utf8(vt::companions_line(host::repr(found))));
            }
            if (snap.look.preview)
                lines.append(host::from_utf8(
                    vt::file_preview_line(*snap.look.preview, snap.look.decompressed)));
            break;
        }
        case vt::Rule::directory_list: {
            // The elements judged, even if a replaced `_describe_dir` edits the list.
            nb::object dirs = list_slice(v, shape.length);
            lines.append(host::from_utf8(vt::dir_list_line(key, shape.length)));
            for (std::size_t i = 0; i < shape.length; ++i)
                describe_dir_fn()(host::from_utf8(vt::element_label(key, i)), dirs[i], lines);
            break;
        }
        case vt::Rule::file_list:
            lines.append(host::from_utf8(
                vt::file_list_line(key, shape.length, host::repr(list_slice(v, vt::kListShown)))));
            break;
        case vt::Rule::value:
            lines.append(host::from_utf8(vt::value_line(key, host::repr(v))));
            break;
        }
    }
    return nb::str("\n").attr("join")(lines);
}

}  // namespace

NB_MODULE(vantum, m) {
    m.doc() = "A plain-text picture of a finished step's real outputs.";

    nb::str default_header = host::from_utf8(vt::kDefaultHeader);
    // The signature shows the default header as the host would write it.
    std::string build_signature = "def build_vantum(data: dict[str, typing.Any], header: str = " +
                                  host::repr(default_header) + ") -> str";
    m.def("build_vantum", &build_vantum, host::param("data"),
          host::param("header") = default_header, nb::sig(build_signature.c_str()),
          "Describe the output mapping `data` as it is on disk: directories with "
          "their files, files with their size and first lines, other values by "
          "their representation.");
    m.def("_describe_dir", &describe_dir, host::param("label"), host::param("d"),
          host::param("lines"),
          nb::sig("def _describe_dir(label: str, d: str | bytes | os.PathLike[str] | "
                  "os.PathLike[bytes], lines: list[str]) -> None"),
          "Append to `lines` the description of directory `d`, shown as `label`: "
          "its first 30 files in path order and their first lines.");
}
