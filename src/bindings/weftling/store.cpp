// The connectors file: construction, batching of an edge's missing siblings
// into one LLM call, the checked write, and loading the file as a module.
#include "weftling.hpp"

#include "common/text.hpp"
#include "weftling/source.hpp"

#include <cerrno>

#include <algorithm>
#include <set>
#include <vector>

namespace plexaro::weftling_binding {

namespace {

nb::object connectors_path() { return self_module().attr("_connectors_path")(); }

struct Edge {
    nb::object node, id;
    std::string fn;
};

nb::list as_pairs(const std::vector<Edge> &edges) {
    nb::list out;
    for (const Edge &e : edges) out.append(nb::make_tuple(e.node, host::from_utf8(e.fn)));
    return out;
}

// An index for an instance made without its constructor (used and dropped).
struct IndexRef {
    core::StoreIndex scratch;
    core::StoreIndex &of(nb::handle self) {
        Weftling *state = state_of(self);
        return state ? state->index : scratch;
    }
};

// The model's reply for one batch, cleaned and checked. A reply that breaks
// a rule gets the one repair request (unless the syntax repair used it); a
// reply that still breaks one is refused with a ValueError naming the edges.
BatchCheck checked_reply(nb::handle self, nb::handle reply, const std::vector<Edge> &batch,
                         nb::handle down_id) {
    std::set<std::string> asked;
    for (const Edge &e : batch) asked.insert(e.fn);

    const bool repair_used = !parses(trimmed(reply));
    nb::str code = host::expect_str(self.attr("_postprocess_code")(reply));
    BatchCheck check = check_batch(code, asked);
    if (!check.findings.empty() && !repair_used) {
        nb::object retry = self.attr("_call_and_clean")(
            host::from_utf8(rules::repair_prompt(check.findings, host::utf8(code))));
        code = finish_cleanup(self, trimmed(host::expect_str(retry)));
        check = check_batch(code, asked);
    }
    if (!check.findings.empty()) {
        std::vector<std::string> edges;
        for (const Edge &e : batch) edges.push_back(host::str(e.id) + " -> " + host::str(down_id));
        host::raise(PyExc_ValueError, rules::refusal(edges, check.findings));
    }
    std::vector<std::string> asked_list(asked.begin(), asked.end());
    for (const std::string &name : check.dropped)
        logger.warning("Connector %s dropped: this batch asked only for %s", host::from_utf8(name),
                       host::from_utf8(plexaro::text::join(asked_list, ", ")));
    return check;
}

// Drops helper functions of the batch whose names the file already binds:
// defining them again would change the connectors stored before.
std::string without_collisions(const core::StoreIndex &index, const std::string &code,
                               const std::set<std::string> &asked) {
    nb::object tree = host::import("ast").attr("parse")(host::from_utf8(code));
    std::set<std::size_t> drop;
    for (nb::handle stmt : tree.attr("body")) {
        std::string name = host::utf8(stmt.attr("name"));
        if (asked.count(name) || !index.binds(name)) continue;
        logger.warning("Helper %s dropped: the connectors file already defines that name",
                       host::from_utf8(name));
        std::size_t last = nb::cast<std::size_t>(stmt.attr("end_lineno"));
        for (std::size_t l = nb::cast<std::size_t>(stmt.attr("lineno")); l <= last; ++l)
            drop.insert(l - 1);
    }
    return drop.empty() ? code : core::remove_lines(code, drop);
}

}  // namespace

Weftling *state_of(nb::handle self) {
    if (!nb::isinstance<Weftling>(self) || !nb::inst_ready(self)) return nullptr;
    return nb::inst_ptr<Weftling>(self);
}

void bind_store(nb::module_ &, Class &cls) {
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<Weftling> self) {
            nb::setattr(self.h, "edgeConnectors", nb::dict());
            nb::setattr(self.h, "fileLock", host::import("threading").attr("Lock")());
            nb::setattr(self.h, "llm", self_module().attr("_default_llm")());
            nb::setattr(self.h, "_module", nb::none());
            nb::object path = connectors_path();
            core::FileStamp stamp;
            {
                OsLock os_lock(path);
                stamp = replace_text(path, core::kHeader);
            }
            const std::string where = host::fs_path(path);
            std::vector<core::Statement> header;
            for (std::size_t i = 0; i < std::size(core::kPreImported); ++i)
                header.push_back({"", {std::string(core::kPreImported[i])}, i + 2});
            // The C++ side is made last: nothing after it can fail, so a
            // failed construction leaves nothing to destroy.
            Weftling *state = new (self.p) Weftling();
            state->index.reset(where, stamp, std::string(core::kHeader), &header);
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
        "provider"_a.none(), "model"_a.none(), "api_key"_a.none(),
        nb::sig("def set_llm(self, provider: str, model: str, api_key: str) -> None"),
        "Use another LLM client for later connectors.");

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
            IndexRef index;

            std::vector<Edge> missing, stored;
            for (nb::handle u : upstreams) {
                nb::str u_id = node_id(u);
                std::string fn = core::edge_fn(host::utf8(u_id), down, is_word);
                nb::object path = connectors_path();
                bool exists = exclusive(self, path, [&] {
                    core::StoreIndex &idx = index.of(self);
                    return refresh(idx, path) && idx.defines(fn);
                });
                Edge edge{nb::borrow(u), u_id, fn};
                if (exists) {
                    self.attr("edgeConnectors")[nb::make_tuple(u_id, down_id)] =
                        host::from_utf8(fn);
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
            nb::object prompt =
                self.attr("_build_prompt")(downstream, as_pairs(missing), as_pairs(stored),
                                           extra_context, "scatter_fn"_a = scatter_fn);
            nb::object reply = self.attr("_call_and_clean")(prompt);
            BatchCheck batch = checked_reply(self, host::expect_str(reply), missing, down_id);
            std::set<std::string> asked;
            std::vector<std::string> names;
            for (const Edge &e : missing) {
                asked.insert(e.fn);
                names.push_back(e.fn);
            }

            nb::object path = connectors_path();
            exclusive(self, path, [&] {
                core::StoreIndex &idx = index.of(self);
                if (!refresh(idx, path)) {
                    errno = ENOENT;
                    PyErr_SetFromErrnoWithFilenameObject(PyExc_FileNotFoundError, path.ptr());
                    throw nb::python_error();
                }
                std::string code = without_collisions(idx, batch.code, asked);
                auto statements = statements_of(host::from_utf8(code));
                // When nothing is replaced and the file ends in one line
                // feed, the new text is the old one plus the batch: it is
                // appended and only that is flushed, so a write costs the
                // batch, not the file.
                const std::size_t old_size = idx.text().size();
                const core::FileStamp before = idx.stamp();
                const bool appends =
                    idx.parsed() && old_size > 0 && idx.text().back() == '\n' &&
                    core::py_rstrip(idx.text()).size() == old_size - 1 &&
                    std::none_of(names.begin(), names.end(),
                                 [&](const std::string &n) { return idx.defines(n); });
                std::string text = idx.rewrite(names, code, statements ? &*statements : nullptr);
                if (appends)
                    idx.committed(
                        append_text(path, std::string_view(text).substr(old_size), before));
                else
                    idx.committed(replace_text(path, text));
                nb::setattr(self, "_module", nb::none());
                return true;
            });

            for (const Edge &e : missing)
                self.attr("edgeConnectors")[nb::make_tuple(e.id, down_id)] = host::from_utf8(e.fn);
            return host::from_utf8(target);
        },
        "upstream"_a.none(), "downstream"_a.none(), "extra_context"_a.none() = nb::none(),
        "scatter_source"_a.none() = false,
        nb::sig("def generateConnector(self, upstream: _Node, downstream: _Node, "
                "extra_context: str | None = None, scatter_source: bool = False) -> str"),
        "Name of the connector of the edge upstream -> downstream; the connectors of every "
        "edge into `downstream` that has none yet are written in one LLM call. A reply that "
        "breaks the connector rules even after one repair request raises ValueError and "
        "nothing is stored.");

    cls.def(
        "getConnector",
        [](nb::handle self, nb::handle in_node, nb::handle node) -> nb::object {
            nb::object key = nb::make_tuple(in_node.attr("id"), node.attr("id"));
            nb::object connectors = self.attr("edgeConnectors");
            if (!contains(connectors, key)) return nb::none();
            nb::object fn_name = connectors[key];

            // The module this call found or loaded is the one the function
            // comes from, even if another thread's write resets `_module`.
            // Unless isolation is off, the file is never run in the host:
            // the module holds callables that run each connector confined.
            const bool isolated = connectors_isolated();
            nb::object module = self.attr("_module");
            // A module loaded under the other setting is loaded again.
            if (!module.is_none() &&
                contains(module.attr("__dict__"), nb::str("__confined__")) != isolated)
                module = nb::none();
            if (module.is_none()) {
                nb::object path = connectors_path();
                module = exclusive(self, path, [&] {
                    nb::object loaded = self.attr("_module");
                    if (loaded.is_none() ||
                        contains(loaded.attr("__dict__"), nb::str("__confined__")) != isolated) {
                        loaded =
                            isolated ? confined_module(self, path) : load_connectors(self, path);
                        nb::setattr(self, "_module", loaded);
                    }
                    return loaded;
                });
            }
            if (isolated) return confined_connector(self, module, fn_name);
            return nb::getattr(module, fn_name);
        },
        "in_node"_a.none(), "node"_a.none(),
        nb::sig("def getConnector(self, in_node: _Node, node: _Node) -> "
                "collections.abc.Callable[[dict[str, typing.Any]], typing.Any] | None"),
        "The connector function of the edge in_node -> node, or None when none was generated.");

    cls.def(
        "get_edge_connectors", [](nb::handle self) { return self.attr("edgeConnectors"); },
        nb::sig("def get_edge_connectors(self) -> dict[tuple[str, str], str]"),
        "The live mapping (upstream id, downstream id) -> connector name.");
}

}  // namespace plexaro::weftling_binding
