// The tool manager's project: add/remove/sync/lock, and keeping the project
// files "mivo.toml" and "mivo.lock" to the tools of this session.
#include "mivo/mivo.hpp"

#include "engine/toml.hpp"

namespace plexaro::mivo_binding {

namespace {

using namespace nb::literals;
namespace toml = engine::toml;

// TOML needs UTF-8; a string that cannot be encoded (lone surrogates) fails
// here with the host's UnicodeEncodeError instead of writing a broken file.
std::string strict_utf8(nb::handle s) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

std::string text_of(nb::handle value) { return strict_utf8(nb::str(value)); }

struct RecursionGuard {
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while writing TOML")) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
};

toml::Value to_toml(nb::handle value, nb::handle datetime);

std::vector<toml::Entry> to_entries(nb::handle mapping, nb::handle datetime) {
    std::vector<toml::Entry> entries;
    for (auto [key, value] : nb::borrow<nb::dict>(mapping))
        entries.push_back(toml::Entry{text_of(key), to_toml(value, datetime)});
    return entries;
}

toml::Value to_toml(nb::handle value, nb::handle datetime) {
    RecursionGuard guard;  // a document that contains itself ends in RecursionError
    PyObject *v = value.ptr();
    if (PyBool_Check(v)) return toml::Value::boolean(v == Py_True);
    if (PyLong_Check(v) || PyFloat_Check(v)) return toml::Value::literal(text_of(value));
    if (PyList_Check(v)) {
        std::vector<toml::Value> items;
        for (nb::handle item : nb::borrow<nb::list>(value))
            items.push_back(to_toml(item, datetime));
        return toml::Value::array(std::move(items));
    }
    if (PyDict_Check(v)) return toml::Value::table(to_entries(value, datetime));
    // Dates and times stay dates and times, as they were read; a time of day
    // with a UTC offset has no TOML form and is written as text.
    if (nb::isinstance(value, datetime.attr("date")) ||
        (nb::isinstance(value, datetime.attr("time")) && value.attr("utcoffset")().is_none()))
        return toml::Value::literal(text_of(value.attr("isoformat")()));
    return toml::Value::string(text_of(value));
}

// Drops the tools of `file_name` that are not in `keep`. Never raises for a
// damaged file: it is reported and deleted, so the sync starts clean.
void prune_one(nb::handle self, nb::handle home, nb::handle reader, nb::handle keep,
               const char *file_name) {
    nb::object path = host::os_path().attr("join")(home, file_name);
    if (!nb::cast<bool>(host::os_path().attr("exists")(path))) return;
    try {
        nb::object document = load_toml(reader, path);
        if (!PyDict_Check(document.ptr()))
            host::raise(PyExc_TypeError, "the document is not a table");
        nb::object tools = nb::borrow<nb::dict>(document).get("tools", nb::none());
        if (!host::truthy(tools)) return;
        if (!PyDict_Check(tools.ptr()))
            host::raise(PyExc_TypeError,
                        std::string("\"tools\" is a ") + host::type_name(tools) + ", not a table");
        nb::list stale;
        for (nb::handle name : nb::borrow<nb::dict>(tools).keys()) {
            bool kept = host::contains(keep, name);
            if (!kept) stale.append(name);
        }
        if (nb::len(stale) == 0) return;
        for (nb::handle name : stale) nb::del(tools[name]);
        self.attr("_write_toml")(path, document);
        std::string message = std::string("Pruned stale tools from ") + file_name + ": %s";
        logger.info(message.c_str(), stale);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        std::string message =
            std::string("Could not prune ") + file_name + " (%s); deleting it for a clean sync";
        logger.warning(message.c_str(), nb::str(e.value()));
        try {
            host::import("os").attr("remove")(path);
        } catch (nb::python_error &removal) {
            if (!removal.matches(PyExc_OSError)) throw;
        }
    }
}

// Several workers may share one project home on a pipeline volume. Every
// rewrite of its files, the tool manager's and the prune's, happens under
// an OS lock on this file in the home, so none is lost or torn.
constexpr const char *kProjectLockName = ".plexaro-project.lock";
constexpr const char *kProjectFiles[] = {"mivo.lock", "mivo.toml"};

using ProjectLock = std::unique_ptr<files::ExclusiveFileLock>;

// The lock of the project home, or none without a pipeline volume (then
// every command runs in a fresh directory of its own). `create_home` makes
// the home first; otherwise a missing home is not locked (it has no files).
ProjectLock lock_project(nb::handle self, bool create_home) {
    nb::object home = self.attr("_mivo_home");
    if (!host::truthy(home)) return nullptr;
    if (create_home)
        host::import("os").attr("makedirs")(home, "exist_ok"_a = true);
    else if (!nb::cast<bool>(host::os_path().attr("isdir")(home)))
        return nullptr;
    return host::lock_file(host::os_path().attr("join")(home, kProjectLockName));
}

// A tool-manager command that rewrites the project files, under the lock.
void run_project_command(nb::handle self, nb::handle words) {
    ProjectLock lock = lock_project(self, true);
    run_through_host(self, words);
}

void append_if_set(nb::list &words, const char *option, nb::handle value) {
    if (!host::is_nonempty_exact_str(value)) return;
    words.append(option);
    words.append(value);
}

}  // namespace

// The host's TOML reader (tomllib), else the tomli package; invalid when
// neither can be loaded.
nb::object toml_reader() {
    for (const char *name : {"tomllib", "tomli"}) {
        try {
            return host::import(name);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ImportError)) throw;
        }
    }
    return nb::object();
}

nb::object load_toml(nb::handle reader, nb::handle path) {
    nb::object file = host::import("io").attr("open")(path, "rb");
    nb::object document;
    try {
        document = reader.attr("load")(file);
    } catch (nb::python_error &) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return document;
}

void bind_project(nb::module_ &, MivoClass &cls) {
    cls.def(
        "_prune_lockfile_to_session",
        [](nb::handle self) {
            nb::object home = self.attr("_mivo_home");
            nb::object keep = self.attr("_session_tools");
            if (!host::truthy(home) || !host::truthy(keep)) return;
            nb::object reader = toml_reader();
            if (!reader.is_valid()) {
                logger.debug("No TOML reader; skipping lockfile prune");
                return;
            }
            ProjectLock lock = lock_project(self, false);
            // Every rewrite takes the lock, so temporaries found while
            // holding it were left by a rewrite that was killed.
            if (lock)
                for (const char *name : kProjectFiles)
                    files::remove_stale_temporaries(
                        host::fs_path(host::os_path().attr("join")(home, name)));
            // The lockfile first: it is what the sync reads.
            prune_one(self, home, reader, keep, "mivo.lock");
            prune_one(self, home, reader, keep, "mivo.toml");
        },
        "Drop the tools this object did not add from mivo.lock and mivo.toml.");

    cls.def_static(
        "_write_toml",
        [](nb::handle path_arg, nb::handle data_arg) {
            nb::str path = host::arg_str(path_arg, "path");
            nb::dict data = host::arg_dict(data_arg, "data");
            nb::object writer;
            try {
                writer = host::import("tomli_w");
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_ImportError)) throw;
            }
            if (writer.is_valid()) {
                write_file_atomically(path,
                                      [&](nb::handle file) { writer.attr("dump")(data, file); });
                return;
            }
            std::vector<toml::Entry> root = to_entries(data, host::import("datetime"));
            std::string text;
            {
                nb::gil_scoped_release unlocked;
                text = toml::emit_document(root);
            }
            nb::bytes bytes(text.data(), text.size());
            write_file_atomically(path, [&](nb::handle file) { file.attr("write")(bytes); });
        },
        host::param("path"), host::param("data"),
        nb::sig("def _write_toml(path: str, data: dict[str, typing.Any]) -> None"),
        "Write the mapping `data` to `path` as TOML (replacing the file in one step).");

    cls.def(
        "add",
        [](nb::handle self, nb::args tools) {
            for (nb::handle tool : tools) host::arg_str(tool, "tools");
            for (nb::handle tool : tools) {
                nb::object session = self.attr("_session_tools");
                bool known = host::contains(session, tool);
                if (!known) session.attr("append")(tool);
                self.attr("_load_cached_image")(tool);
            }
            nb::list words;
            words.append("add");
            for (nb::handle tool : tools) words.append(tool);
            append_if_set(words, "--backend", self.attr("backend"));
            append_if_set(words, "--registry", self.attr("registry"));
            run_project_command(self, words);
            for (nb::handle tool : tools) self.attr("_save_image_to_cache")(tool);
        },
        nb::sig("def add(self, *tools: str) -> None"),
        "Add tools to the project (restoring cached images before, caching them after).");

    cls.def(
        "remove",
        [](nb::handle self, nb::handle tool_arg) {
            nb::str tool = host::arg_str(tool_arg, "tool");
            nb::list words;
            words.append("remove");
            words.append(tool);
            run_project_command(self, words);
        },
        host::param("tool"), nb::sig("def remove(self, tool: str) -> None"),
        "Remove a tool from the project.");

    cls.def(
        "sync",
        [](nb::handle self, nb::handle frozen) {
            bool is_frozen = host::arg_bool(frozen);
            // The sync runs on the files as pruned, with no rewrite between.
            ProjectLock lock = lock_project(self, true);
            self.attr("_prune_lockfile_to_session")();
            nb::list words;
            words.append("sync");
            append_if_set(words, "--backend", self.attr("backend"));
            if (is_frozen) words.append("--frozen");
            run_through_host(self, words);
        },
        host::param("frozen") = false, nb::sig("def sync(self, frozen: bool = False) -> None"),
        "Prune the project files to this session's tools, then sync the project.");

    cls.def(
        "lock",
        [](nb::handle self, nb::handle check) {
            nb::list words;
            words.append("lock");
            if (host::arg_bool(check)) words.append("--check");
            run_project_command(self, words);
        },
        host::param("check") = false, nb::sig("def lock(self, check: bool = False) -> None"),
        "Write (or with `check`, verify) the project lockfile.");
}

}  // namespace plexaro::mivo_binding
