// Reading, rewriting, locking and loading the connectors file. The file is
// shared between processes and may sit where others can write: it is never
// followed through a symbolic link, only read when it is a regular file, and
// rewritten through a unique temporary name renamed over it.
#include "weftling.hpp"

#include "common/host_files.hpp"
#include "weftling/source.hpp"

#include <cerrno>
#include <system_error>

namespace plexaro::weftling_binding {

namespace {

nb::object builtin(const char *name) { return host::import("builtins").attr(name); }

[[noreturn]] void refuse_link(nb::handle path) {
    PyErr_SetObject(
        PyExc_OSError,
        nb::make_tuple(nb::int_(ELOOP),
                       "The connectors file is a symbolic link; it is never followed", path)
            .ptr());
    throw nb::python_error();
}

core::FileStamp stamp_of(nb::handle st) {
    core::FileStamp stamp;
    stamp.device = nb::cast<std::uint64_t>(st.attr("st_dev"));
    stamp.inode = nb::cast<std::uint64_t>(st.attr("st_ino"));
    stamp.size = nb::cast<std::uint64_t>(st.attr("st_size"));
    stamp.mtime_ns = nb::cast<std::int64_t>(st.attr("st_mtime_ns"));
    return stamp;
}

// lstat of the path, or none when nothing is there.
nb::object lstat_or_none(nb::handle path) {
    try {
        return host::import("os").attr("lstat")(path);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileNotFoundError)) return nb::none();
        throw;
    }
}

bool is_link(nb::handle st) {
    return truthy(host::import("stat").attr("S_ISLNK")(st.attr("st_mode")));
}

int errno_of(nb::python_error &e) {
    nb::object number = attr_or_none(e.value(), "errno");
    return number.is_none() ? 0 : nb::cast<int>(number);
}

struct FileText {
    nb::str text;
    core::FileStamp stamp;
};

FileText read_file(nb::handle path) {
    nb::object os = host::import("os");
    int flags = nb::cast<int>(os.attr("O_RDONLY")) | nb::cast<int>(os.attr("O_NOFOLLOW")) |
                nb::cast<int>(os.attr("O_NONBLOCK")) | nb::cast<int>(os.attr("O_CLOEXEC"));
    nb::object fd;
    try {
        fd = os.attr("open")(path, flags);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_OSError) && errno_of(e) == ELOOP) refuse_link(path);
        throw;
    }
    nb::object file;
    try {
        nb::object st = os.attr("fstat")(fd);
        if (!truthy(host::import("stat").attr("S_ISREG")(st.attr("st_mode"))))
            host::raise(PyExc_OSError,
                        "The connectors file is not a regular file: " + host::str(path));
        file = builtin("open")(fd, "closefd"_a = true);
        nb::object text = file.attr("read")();
        file.attr("close")();
        return {host::expect_str(text), stamp_of(st)};
    } catch (nb::python_error &) {
        try {
            if (file.is_valid())
                file.attr("close")();
            else
                os.attr("close")(fd);
        } catch (nb::python_error &) {
        }
        throw;
    }
}

// A byte-compiled copy of an earlier version of the file must never be
// loaded instead of the new text by a host that imports the file itself:
// the host validates its cache only by size and whole-second mtime.
void forget_bytecode(nb::handle path) {
    try {
        nb::object cached = host::import("importlib.util").attr("cache_from_source")(path);
        host::import("os").attr("unlink")(cached);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// Lines before the last one, as the host's parser counts them.
std::size_t line_breaks(std::string_view text) { return core::line_starts(text).size() - 1; }

}  // namespace

OsLock::OsLock(nb::handle path)
    : lock_(host::lock_file(host::from_fs_path(host::fs_path(path) + ".lock"))) {}

namespace {

// `text` in the host's default text encoding; when that is UTF-8 (nearly
// always) the text's own bytes are used as they are.
struct Encoded {
    nb::bytes holder;
    std::string_view data;
};
Encoded encoded(std::string_view text) {
    nb::object encoding = host::import("locale").attr("getpreferredencoding")(false);
    bool utf8 = truthy(host::import("sys").attr("flags").attr("utf8_mode")) ||
                nb::cast<std::string>(
                    host::import("codecs").attr("lookup")(encoding).attr("name")) == "utf-8";
    Encoded out{nb::bytes(), text};
    if (!utf8) {
        out.holder = nb::borrow<nb::bytes>(host::from_utf8(text).attr("encode")(encoding));
        out.data = std::string_view(out.holder.c_str(), out.holder.size());
    }
    return out;
}

[[noreturn]] void raise_os_error(const std::system_error &e, nb::handle path) {
    if (e.code().value() == ELOOP) refuse_link(path);
    errno = e.code().value();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw nb::python_error();
}

}  // namespace

core::FileStamp replace_text(nb::handle path, std::string_view text) {
    Encoded bytes = encoded(text);
    const std::string where = host::fs_path(path);
    plexaro::files::FileIdentity id;
    try {
        nb::gil_scoped_release unlocked;
        id = plexaro::files::replace_file(where, bytes.data, {.mode = 0644, .keep_mode = true});
        core::record_committed(where, id);
    } catch (const std::system_error &e) {
        raise_os_error(e, path);
    }
    forget_bytecode(path);
    return id;
}

core::FileStamp append_text(nb::handle path, std::string_view text, const core::FileStamp &before) {
    Encoded bytes = encoded(text);
    const std::string where = host::fs_path(path);
    plexaro::files::FileIdentity id;
    try {
        nb::gil_scoped_release unlocked;
        core::record_append(where, before, before.size + bytes.data.size());
        id = plexaro::files::append_file(where, bytes.data);
        core::record_committed(where, id);
    } catch (const std::system_error &e) {
        raise_os_error(e, path);
    }
    forget_bytecode(path);
    return id;
}

std::optional<std::vector<core::Statement>> statements_of(nb::handle text) {
    nb::object a = host::import("ast");
    nb::object tree;
    try {
        tree = a.attr("parse")(text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return std::nullopt;
    }
    nb::object fn_cls = a.attr("FunctionDef");
    nb::object named = nb::make_tuple(fn_cls, a.attr("AsyncFunctionDef"), a.attr("ClassDef"));
    nb::object imports = nb::make_tuple(a.attr("Import"), a.attr("ImportFrom"));
    nb::object name_cls = a.attr("Name"), walk = a.attr("walk");
    std::vector<core::Statement> out;
    for (nb::handle stmt : tree.attr("body")) {
        core::Statement s;
        s.first_line = nb::cast<std::size_t>(stmt.attr("lineno"));
        if (is_instance(stmt, named)) {
            std::string name = host::utf8(stmt.attr("name"));
            if (is_instance(stmt, fn_cls)) s.function = name;
            s.binds.push_back(name);
            for (nb::handle decorator : stmt.attr("decorator_list"))
                s.first_line =
                    std::min(s.first_line, nb::cast<std::size_t>(decorator.attr("lineno")));
        } else if (is_instance(stmt, imports)) {
            for (nb::handle alias : stmt.attr("names")) {
                nb::object as = alias.attr("asname");
                std::string bound = host::utf8(as.is_none() ? alias.attr("name") : as);
                s.binds.push_back(bound.substr(0, bound.find('.')));
            }
        } else {
            for (nb::handle node : walk(stmt))
                if (is_instance(node, name_cls)) s.binds.push_back(host::utf8(node.attr("id")));
        }
        out.push_back(std::move(s));
    }
    return out;
}

bool refresh(core::StoreIndex &index, nb::handle path) {
    bool cut = false;
    try {
        cut = core::cut_torn_append(host::fs_path(path));
    } catch (const std::system_error &e) {
        raise_os_error(e, path);
    }
    if (cut) {
        index.invalidate();
        logger.warning("Connectors file %s: the end that an interrupted append left was cut off",
                       path);
    }
    nb::object st = lstat_or_none(path);
    if (st.is_none()) {
        index.invalidate();
        return false;
    }
    if (is_link(st)) refuse_link(path);
    const std::string where = host::fs_path(path);
    if (index.matches(where, stamp_of(st))) return true;
    FileText file = read_file(path);
    auto statements = statements_of(file.text);
    index.reset(where, file.stamp, host::utf8(file.text), statements ? &*statements : nullptr);
    return true;
}

// When this object loaded the file before and the file has since only grown
// by whole statements, the module made then gets just the new statements:
// a load after storing a batch costs that batch, not the whole file.
nb::object load_connectors(nb::handle self, nb::handle path) {
    Weftling *state = state_of(self);
    // The index holds the file's text as this process wrote or last read it
    // (never through a link); the file is read again only when it changed.
    core::StoreIndex scratch;
    core::StoreIndex &index = state ? state->index : scratch;
    if (!refresh(index, path)) {
        errno = ENOENT;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_FileNotFoundError, path.ptr());
        throw nb::python_error();
    }
    std::string text = index.text();
    const std::string where = host::fs_path(path);
    nb::object builtins = host::import("builtins");

    if (state && state->loaded_module.is_valid() && state->loaded_path == where) {
        std::string_view base = core::py_rstrip(state->loaded_text);
        if (!base.empty() && text.size() > base.size() && text.compare(0, base.size(), base) == 0) {
            try {
                nb::object a = host::import("ast");
                nb::object tree =
                    a.attr("parse")(host::from_utf8(std::string_view(text).substr(base.size())));
                a.attr("increment_lineno")(tree, state->loaded_breaks);
                nb::object code =
                    builtins.attr("compile")(tree, path, "exec", "dont_inherit"_a = true);
                builtins.attr("exec")(code, state->loaded_module.attr("__dict__"));
                state->loaded_breaks +=
                    line_breaks(core::py_rstrip(std::string_view(text).substr(base.size())));
                state->loaded_text = std::move(text);
                return state->loaded_module;
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception)) throw;
                // the whole file is loaded afresh below
            }
        }
    }

    if (state) state->loaded_module = nb::object();
    nb::object util = host::import("importlib.util");
    nb::object spec = util.attr("spec_from_file_location")("connectors", path);
    nb::object module = util.attr("module_from_spec")(spec);
    // What runs is the text just read without following a link, never a
    // file swapped in between.
    nb::object code =
        builtins.attr("compile")(host::from_utf8(text), path, "exec", "dont_inherit"_a = true);
    builtins.attr("exec")(code, module.attr("__dict__"));
    if (state) {
        state->loaded_module = module;
        state->loaded_breaks = line_breaks(core::py_rstrip(text));
        state->loaded_text = std::move(text);
        state->loaded_path = where;
    }
    return module;
}

}  // namespace plexaro::weftling_binding
