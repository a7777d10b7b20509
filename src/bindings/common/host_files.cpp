#include "common/host_files.hpp"

namespace plexaro::host {

void raise_path_error(const files::PathError &error) {
    nb::object exc = import("builtins")
                         .attr("OSError")(error.code().value(), from_utf8(error.code().message()),
                                          from_fs_path(error.path()));
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

std::unique_ptr<files::ExclusiveFileLock> lock_file(nb::handle path) {
    std::string where = fs_path(path);
    return with_host_errors([&] {
        nb::gil_scoped_release unlocked;
        return std::make_unique<files::ExclusiveFileLock>(where);
    });
}

HostTempFile create_temp_beside(nb::handle target, unsigned mode) {
    std::string where = fs_path(target);
    files::TempFile made = with_host_errors([&] { return files::create_temp_beside(where, mode); });
    return HostTempFile{made.fd, from_fs_path(made.path)};
}

void write_file_atomically(nb::handle path, const std::function<void(nb::handle)> &fill, int mode) {
    nb::object os = import("os");
    HostTempFile tmp = create_temp_beside(path);
    nb::object file;
    try {
        file = os.attr("fdopen")(tmp.fd, "wb");
        fill(file);
        file.attr("flush")();
        os.attr("fsync")(tmp.fd);
        if (mode >= 0) {
            os.attr("fchmod")(tmp.fd, mode);
        } else {
            try {
                nb::object st = os.attr("stat")(path);
                os.attr("fchmod")(tmp.fd, import("stat").attr("S_IMODE")(st.attr("st_mode")));
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_FileNotFoundError)) throw;
            }
        }
        file.attr("close")();
        os.attr("replace")(tmp.path, path);
    } catch (nb::python_error &) {
        // Keep the original error; clean-up failures must not mask it.
        try {
            if (file.is_valid())
                file.attr("close")();
            else
                os.attr("close")(tmp.fd);
        } catch (nb::python_error &) {
        }
        try {
            os.attr("unlink")(tmp.path);
        } catch (nb::python_error &) {
        }
        throw;
    }
}

}  // namespace plexaro::host
