// Connectors run in a confined worker process: the host's side (the worker
// client and the callables getConnector hands out) and the small extension
// module the worker loads from this same library to confine itself.
#include "weftling.hpp"

#include "weftling/confine.hpp"
#include "weftling/worker_sources.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <system_error>

namespace plexaro::weftling_binding {

namespace {

nb::object worker_namespace() { return self_module().attr("_worker"); }

// The object's worker client, made on first use.
nb::object client_of(nb::handle self) {
    Weftling *state = state_of(self);
    if (!state) host::raise(PyExc_RuntimeError, "Weftling was not constructed");
    if (!state->worker.is_valid()) state->worker = worker_namespace().attr("Client")();
    return state->worker;
}

}  // namespace

Weftling::~Weftling() {
    if (!worker.is_valid()) return;
    try {
        worker.attr("stop")();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("stopping the connector worker");
    }
}

bool connectors_isolated() { return host::str(worker_namespace().attr("isolation")()) != "off"; }

nb::object confined_module(nb::handle self, nb::handle path) {
    Weftling *state = state_of(self);
    core::StoreIndex scratch;
    core::StoreIndex &index = state ? state->index : scratch;
    if (!refresh(index, path)) {
        errno = ENOENT;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_FileNotFoundError, path.ptr());
        throw nb::python_error();
    }
    return client_of(self).attr("load")(path, host::from_utf8(index.text()));
}

nb::object confined_connector(nb::handle self, nb::handle module, nb::handle name) {
    return client_of(self).attr("connector")(module, name);
}

void bind_worker(nb::module_ &m) {
    m.attr("_WORKER_DRIVER") = host::from_utf8(core::worker_driver());
    nb::object worker = host::import("types").attr("ModuleType")(
        "plexaro.helpers.weftling._worker", "The confined connector worker: the host's side.");
    nb::object code = host::import("builtins")
                          .attr("compile")(host::from_utf8(core::worker_client()),
                                           "<plexaro.helpers.weftling._worker>", "exec");
    host::import("builtins").attr("exec")(code, worker.attr("__dict__"));
    m.attr("_worker") = worker;
    host::import("atexit").attr("register")(worker.attr("stop_all"));
}

}  // namespace plexaro::weftling_binding

namespace {

namespace confine = plexaro::weftling::confine;

[[noreturn]] void raise_os(const std::system_error &e) {
    errno = e.code().value();
    PyErr_SetFromErrno(PyExc_OSError);
    throw nb::python_error();
}

}  // namespace

// Loaded only inside the worker, under this name, from this library.
NB_MODULE(_weftling_confine, m) {
    m.def("missing", [] { return confine::missing_features(); });
    m.def(
        "confine_worker",
        [](const std::string &scratch) {
            try {
                confine::lock_privileges();
                confine::restrict_paths({false, {}, {scratch}});
                if (confine::seccomp_available()) confine::install_seccomp(true);
            } catch (const std::system_error &e) {
                raise_os(e);
            }
        },
        "The worker's own layer: nothing executed, no socket made, writes only in `scratch`.");
    m.def(
        "confine_call",
        [](std::vector<std::string> reads, std::vector<std::string> writes, std::uint64_t cpu,
           std::uint64_t memory, std::uint64_t file_size, std::uint64_t open_files) {
            try {
                // The per-call child ends with the worker that forked it.
                if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0)
                    throw std::system_error(errno, std::generic_category(), "PR_SET_PDEATHSIG");
                confine::set_limits({cpu, memory, file_size, open_files});
                confine::restrict_paths({true, std::move(reads), std::move(writes)});
                if (confine::seccomp_available()) confine::install_seccomp(false);
            } catch (const std::system_error &e) {
                raise_os(e);
            }
        },
        "One call's layer: reads only beneath `reads`, no new process, resource limits.");
}
