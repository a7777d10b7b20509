// The connectors file: construction, batching of an edge's missing siblings
// into one LLM call, the write, and loading the file as a module.
#include "weftling.hpp"

#include "weftling/source.hpp"

#include <algorithm>
#include <set>
#include <vector>

namespace core = plexaro::weftling;
using namespace nb::literals;

namespace plexaro::weftling_binding {

namespace {

nb::object connectors_path() { return self_module().attr("_connectors_path")(); }

// Runs `body` holding `lock`; the lock is released however `body` ends.
template <typename Body> auto holding(nb::handle lock, Body &&body) {
    lock.attr("acquire")();
    auto result = [&] {
        try {
            return body();
        } catch (...) {
            try {
                lock.attr("release")();
            } catch (nb::python_error &) {
            }
            throw;
        }
    }();
    lock.attr("release")();
    return result;
}

nb::object builtin(const char *name) { return host::import("builtins").attr(name); }

// Whole text of a file, in the host's default text encoding.
nb::str read_text(nb::handle path) {
    nb::object file = builtin("open")(path);
    try {
        nb::object text = file.attr("read")();
        file.attr("close")();
        return host::expect_str(text);
    } catch (nb::python_error &) {
        try {
            file.attr("close")();
        } catch (nb::python_error &) {
        }
        throw;
    }
}

// A byte-compiled copy of an earlier version of the file must never be
// loaded instead of the new text: the host validates its cache only by the
// file's size and its modification time in whole seconds.
void forget_bytecode(nb::handle path) {
    try {
        nb::object cached = host::import("importlib.util").attr("cache_from_source")(path);
        host::import("os").attr("unlink")(cached);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// Rewrites the file through a temporary file beside it, renamed over it once
// complete, so a crash mid-write leaves the connectors stored so far intact.
void replace_text(nb::handle path, std::string_view text) {
    nb::object os = host::import("os");
    nb::object os_path = host::import("os.path");
    nb::object target = os_path.attr("realpath")(path);
    nb::object opened = host::import("tempfile").attr("mkstemp")(
        "dir"_a = os_path.attr("dirname")(target),
        "prefix"_a = nb::str(".{}.").attr("format")(os_path.attr("basename")(target)),
        "suffix"_a = ".tmp");
    nb::object fd = opened[0], partial = opened[1];
    nb::object file;
    try {
        file = os.attr("fdopen")(fd, "w");
        file.attr("write")(host::from_utf8(text));
        file.attr("flush")();
        os.attr("fsync")(file.attr("fileno")());
        file.attr("close")();
        if (truthy(os_path.attr("exists")(target)))
            host::import("shutil").attr("copymode")(target, partial);
        else
            os.attr("chmod")(partial, 0644);
        os.attr("replace")(partial, target);
    } catch (nb::python_error &) {
        auto quietly = [](auto &&fn) {
            try {
                fn();
            } catch (nb::python_error &) {
            }
        };
        if (file.is_valid()) quietly([&] { file.attr("close")(); });
        else quietly([&] { os.attr("close")(fd); });
        quietly([&] { os.attr("unlink")(partial); });
        throw;
    }
    forget_bytecode(path);
    if (!nb::cast<bool>(target.equal(path))) forget_bytecode(target);
}

nb::object load_connectors(nb::handle path) {
    nb::object util = host::import("importlib.util");
    nb::object spec = util.attr("spec_from_file_location")("connectors", path);
    nb::object module = util.attr("module_from_spec")(spec);
    spec.attr("loader").attr("exec_module")(module);
    return module;
}

struct Edge {
    nb::object node, id;
    std::string fn;
};

// The file's text without the earlier definitions of the batch's names.
// When the file parses, a definition ends where the next top-level statement
// (or its decorators) begins, so a decorator, constant or async function
// standing after it is kept; otherwise the text rule applies, which ends a
// definition only at the next line starting with "def ".
std::string without_definitions(nb::handle file_text, const std::vector<Edge> &edges) {
    std::string text = host::utf8(file_text);
    nb::object a = host::import("ast");
    nb::object tree;
    try {
        tree = a.attr("parse")(file_text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        nb::gil_scoped_release unlocked;
        for (const Edge &edge : edges) text = core::remove_function(text, edge.fn);
        return text;
    }

    nb::object defs = nb::make_tuple(a.attr("FunctionDef"), a.attr("AsyncFunctionDef"));
    nb::object body = tree.attr("body");
    const std::size_t count = nb::len(body);
    std::vector<std::size_t> starts;  // first line of each top-level statement
    for (nb::handle stmt : body) {
        std::size_t first = nb::cast<std::size_t>(stmt.attr("lineno"));
        for (nb::handle decorator : attr_or_none(stmt, "decorator_list").is_none()
                                        ? nb::list()
                                        : nb::list(stmt.attr("decorator_list")))
            first = std::min(first, nb::cast<std::size_t>(decorator.attr("lineno")));
        starts.push_back(first);
    }
    const std::size_t lines = core::source_lines(text).size();
    std::set<std::size_t> drop;
    for (std::size_t i = 0; i < count; ++i) {
        nb::handle stmt = body[i];
        if (!is_instance(stmt, defs)) continue;
        std::string name = host::utf8(stmt.attr("name"));
        bool regenerated = false;
        for (const Edge &edge : edges) regenerated = regenerated || edge.fn == name;
        if (!regenerated) continue;
        std::size_t end = i + 1 < count ? starts[i + 1] - 1 : lines;
        for (std::size_t line = starts[i]; line <= end; ++line) drop.insert(line - 1);
    }
    if (drop.empty()) return text;
    return core::remove_lines(text, drop);
}

nb::list as_pairs(const std::vector<Edge> &edges) {
    nb::list out;
    for (const Edge &e : edges) out.append(nb::make_tuple(e.node, host::from_utf8(e.fn)));
    return out;
}

}  // namespace

void bind_store(nb::module_ &, Class &cls) {
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<Weftling> self) {
            new (self.p) Weftling();
            nb::setattr(self.h, "edgeConnectors", nb::dict());
            nb::setattr(self.h, "fileLock", host::import("threading").attr("Lock")());
            nb::setattr(self.h, "llm", self_module().attr("_default_llm")());
            nb::setattr(self.h, "_module", nb::none());
            nb::object path = connectors_path();
            nb::object file = builtin("open")(path, "w");
            try {
                file.attr("write")(host::from_utf8(core::kHeader));
                file.attr("close")();
            } catch (nb::python_error &) {
                try {
                    file.attr("close")();
                } catch (nb::python_error &) {
                }
                throw;
            }
            forget_bytecode(path);
        },
        "Start a pipeline's connectors: the connectors file is reset to its header.");

    cls.def(
        "set_llm",
        [](nb::handle self, nb::handle provider, nb::handle model, nb::handle api_key) {
            nb::str p = host::arg_str(provider, "provider");
            nb::str m = host::arg_str(model, "model");
            nb::str k = host::arg_str(api_key, "api_key");
            nb::setattr(self, "llm",
                        self_module().attr("Promptel")("provider"_a = p, "model_name"_a = m,
                                                       "api_key"_a = k));
        },
        "provider"_a.none(), "model"_a.none(), "api_key"_a.none(), "Use another LLM client for later connectors.");

    cls.def(
        "generateConnector",
        [](nb::handle self, nb::handle upstream, nb::handle downstream, nb::handle extra_context,
           nb::handle scatter_source) -> nb::str {
            host::arg_opt_str(extra_context, "extra_context");
            const bool scatter = host::arg_bool(scatter_source);

            nb::list upstreams;
            nb::object in_nodes = attr_or_none(downstream, "inNodes");
            if (truthy(in_nodes)) upstreams = nb::list(in_nodes);
            if (!contains(upstreams, upstream)) upstreams.append(upstream);

            nb::str up_id = node_id(upstream);
            nb::str down_id = node_id(downstream);
            const std::string down = host::utf8(down_id);
            const std::string target = core::edge_fn(host::utf8(up_id), down, is_word);

            std::vector<Edge> missing, stored;
            for (nb::handle u : upstreams) {
                nb::str u_id = node_id(u);
                std::string fn = core::edge_fn(host::utf8(u_id), down, is_word);
                bool exists = holding(self.attr("fileLock"), [&] {
                    nb::object path = connectors_path();
                    if (!truthy(host::import("os.path").attr("exists")(path))) return false;
                    std::string text = host::utf8(read_text(path));
                    nb::gil_scoped_release unlocked;
                    return core::defines_function(text, fn);
                });
                Edge edge{nb::borrow(u), u_id, fn};
                if (exists) {
                    self.attr("edgeConnectors")[nb::make_tuple(u_id, down_id)] = host::from_utf8(fn);
                    stored.push_back(edge);
                } else {
                    missing.push_back(edge);
                }
            }

            if (missing.empty()) {
                nb::str name = host::from_utf8(target);
                self.attr("edgeConnectors")[nb::make_tuple(up_id, down_id)] = name;
                return name;
            }

            nb::object scatter_fn = scatter ? nb::object(host::from_utf8(target)) : nb::none();
            nb::object prompt = self.attr("_build_prompt")(downstream, as_pairs(missing),
                                                           as_pairs(stored), extra_context,
                                                           "scatter_fn"_a = scatter_fn);
            nb::object code = self.attr("_call_and_clean")(prompt);
            code = self.attr("_postprocess_code")(code);
            const std::string cleaned = host::utf8(host::expect_str(code));

            holding(self.attr("fileLock"), [&] {
                nb::object path = connectors_path();
                std::string text = without_definitions(read_text(path), missing);
                {
                    nb::gil_scoped_release unlocked;
                    text = core::append_batch(text, cleaned);
                }
                replace_text(path, text);
                nb::setattr(self, "_module", nb::none());
                return true;
            });

            for (const Edge &e : missing)
                self.attr("edgeConnectors")[nb::make_tuple(e.id, down_id)] = host::from_utf8(e.fn);
            return host::from_utf8(target);
        },
        "upstream"_a.none(), "downstream"_a.none(), "extra_context"_a.none() = nb::none(),
        "scatter_source"_a.none() = false,
        "Name of the connector of the edge upstream -> downstream; the connectors of every "
        "edge into `downstream` that has none yet are written in one LLM call.");

    cls.def(
        "getConnector",
        [](nb::handle self, nb::handle in_node, nb::handle node) -> nb::object {
            nb::object key = nb::make_tuple(in_node.attr("id"), node.attr("id"));
            nb::object connectors = self.attr("edgeConnectors");
            if (!contains(connectors, key)) return nb::none();
            nb::object fn_name = connectors[key];

            // The module this call found or loaded is the one the function
            // comes from, even if another thread's write resets `_module`.
            nb::object module = self.attr("_module");
            if (module.is_none()) {
                module = holding(self.attr("fileLock"), [&] {
                    nb::object loaded = self.attr("_module");
                    if (loaded.is_none()) {
                        loaded = load_connectors(connectors_path());
                        nb::setattr(self, "_module", loaded);
                    }
                    return loaded;
                });
            }
            return nb::getattr(module, fn_name);
        },
        "in_node"_a.none(), "node"_a.none(),
        "The connector function of the edge in_node -> node, or None when none was generated.");

    cls.def(
        "get_edge_connectors", [](nb::handle self) { return self.attr("edgeConnectors"); },
        "The live mapping (upstream id, downstream id) -> connector name.");
}

}  // namespace plexaro::weftling_binding
