// Host errors for the file-system work of a tool run: the core's failures
// become the host's own OSError (with its errno subclass), shutil.Error,
// shutil.SameFileError and shutil.SpecialFileError.
#include "mivo/mivo.hpp"

#include "sandbox/fsops.hpp"

#include <cerrno>
#include <cstring>

namespace plexaro::mivo_binding {

namespace sb = plexaro::sandbox;

namespace {

nb::object os_error(const sb::FsError &e) {
    nb::object shutil = host::import("shutil");
    nb::str first = host::from_fs_path(e.path);
    switch (e.kind) {
    case sb::FsError::Kind::same_file: {
        std::string message = host::repr(first) + " and " +
                              host::repr(host::from_fs_path(e.path2)) + " are the same file";
        return shutil.attr("SameFileError")(host::from_utf8(message));
    }
    case sb::FsError::Kind::named_pipe:
        return shutil.attr("SpecialFileError")(
            host::from_utf8("`" + host::str(first) + "` is a named pipe"));
    case sb::FsError::Kind::os: break;
    }
    nb::handle os_error_type(PyExc_OSError);
    nb::str reason = host::from_utf8(std::strerror(e.err));
    if (e.has_path2)
        return os_error_type(e.err, reason, first, nb::none(), host::from_fs_path(e.path2));
    return os_error_type(e.err, reason, first);
}

}  // namespace

[[noreturn]] void raise_fs_error(const sb::FsError &e) {
    nb::object error = os_error(e);
    PyErr_SetObject((PyObject *)Py_TYPE(error.ptr()), error.ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_tree_copy_error(const sb::TreeCopyError &e) {
    nb::list failures;
    for (const auto &f : e.failures)
        failures.append(nb::make_tuple(host::from_fs_path(f.src), host::from_fs_path(f.dst),
                                       nb::str(os_error(f.why))));
    nb::object error = host::import("shutil").attr("Error")(failures);
    PyErr_SetObject((PyObject *)Py_TYPE(error.ptr()), error.ptr());
    throw nb::python_error();
}

}  // namespace plexaro::mivo_binding
