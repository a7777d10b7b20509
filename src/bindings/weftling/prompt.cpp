// The connector prompt: the binding reads the nodes and manifests through
// the host and hands display forms and representations to the core.
#include "weftling.hpp"

#include "weftling/prompt.hpp"

namespace plexaro::weftling_binding {

namespace {

nb::object node_class(const char *name) { return host::import("plexaro.node").attr(name); }

// A node's manifest, or an empty mapping when it has none.
nb::object manifest_of(nb::handle node) {
    nb::object manifest = attr_or_none(node, "manifest");
    return manifest.is_none() ? nb::object(nb::dict()) : manifest;
}

nb::object inputs_of(nb::handle node) {
    nb::object inputs = attr_or_none(node, "inputs");
    return inputs.is_none() ? nb::object(nb::dict()) : inputs;
}

// manifest["inputs"] or manifest["outputs"], an empty mapping when absent.
nb::object section(nb::handle manifest, const char *key) {
    nb::object fields = manifest.attr("get")(key);
    return fields.is_none() ? nb::object(nb::dict()) : fields;
}

std::vector<std::string> field_lines(nb::handle self, nb::handle fields, bool with_required) {
    std::vector<std::string> lines;
    nb::object format = self.attr("_format_field");
    for (nb::handle item : fields.attr("items")()) {
        auto [name, record] = unpack_pair(item);
        nb::object line = with_required ? format(name, record, "include_required"_a = true)
                                        : format(name, record);
        lines.push_back(host::utf8(host::expect_str(line)));
    }
    return lines;
}

// Text that the prompt joins: it must be a string, as for the host's str.join.
std::string joined_text(nb::handle value, std::size_t index) {
    if (!PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "sequence item %zu: expected str instance, %.200s found",
                     index, Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    return host::utf8(value);
}

}  // namespace

void bind_prompt(Class &cls) {
    cls.def(
        "_build_prompt",
        [](nb::handle self, nb::handle v, nb::handle edges_to_generate, nb::handle cached_siblings,
           nb::handle extra_context, nb::handle scatter_fn) -> nb::str {
            std::optional<nb::str> extra = host::arg_opt_str(extra_context, "extra_context");
            std::optional<nb::str> scatter = host::arg_opt_str(scatter_fn, "scatter_fn");
            nb::object input_node = node_class("InputNode");
            node_class("GatherNode");

            core::PromptParts parts;
            parts.downstream_block =
                host::utf8(host::expect_str(self.attr("_downstream_block")(v)));
            for (nb::handle pair : edges_to_generate) {
                auto [u, fn] = unpack_pair(pair);
                parts.upstream_blocks.push_back(
                    host::utf8(host::expect_str(self.attr("_upstream_block")(u, fn))));
                parts.names.push_back(joined_text(fn, parts.names.size()));
                nb::object id = u.attr("id");
                auto &names =
                    is_instance(u, input_node) ? parts.input_node_names : parts.regular_node_names;
                names.push_back(joined_text(id, names.size()));
            }
            for (nb::handle pair : cached_siblings) {
                auto [u, fn] = unpack_pair(pair);
                nb::object id = u.attr("id");
                bool input = is_instance(u, input_node);
                auto &names = input ? parts.input_node_names : parts.regular_node_names;
                names.push_back(joined_text(id, names.size()));
                parts.stored.push_back({host::str(id), host::str(fn), input});
            }
            if (scatter) parts.scatter_fn = host::utf8(*scatter);
            nb::object split_key = attr_or_none(v, "split_key");
            if (truthy(split_key)) parts.split_key = host::str(split_key);
            parts.downstream_id = host::str(v.attr("id"));
            if (extra) parts.extra_context = host::utf8(*extra);
            return host::from_utf8(core::build_prompt(parts));
        },
        "v"_a.none(), "edges_to_generate"_a.none(), "cached_siblings"_a.none(),
        "extra_context"_a.none(), "scatter_fn"_a.none() = nb::none(),
        nb::sig("def _build_prompt(self, v: _Node, "
                "edges_to_generate: collections.abc.Sequence[tuple[_Node, str]], "
                "cached_siblings: collections.abc.Sequence[tuple[_Node, str]], "
                "extra_context: str | None, scatter_fn: str | None = None) -> str"),
        "The whole connector prompt for one batch of edges into v.");

    cls.def(
        "_downstream_block",
        [](nb::handle self, nb::handle v) -> nb::str {
            nb::object manifest = manifest_of(v);
            if (is_instance(v, node_class("InputNode")) && !truthy(manifest)) {
                // A copy, so a mapping the host changes meanwhile is read once.
                nb::object values = host::import("builtins").attr("dict")(inputs_of(v));
                core::KeyValues shown;
                for (nb::handle item : values.attr("items")()) {
                    auto [key, value] = unpack_pair(item);
                    shown.emplace_back(host::str(key), host::repr(value));
                }
                return host::from_utf8(core::downstream_values_block(shown));
            }
            return host::from_utf8(core::downstream_manifest_block(
                host::str(v.attr("id")), field_lines(self, section(manifest, "inputs"), true)));
        },
        "v"_a.none(), nb::sig("def _downstream_block(self, v: _Node) -> str"),
        "The block describing the downstream node's fields.");

    cls.def(
        "_upstream_block",
        [](nb::handle self, nb::handle u, nb::handle fn_name) -> nb::str {
            std::string id = host::str(u.attr("id"));
            std::string fn = host::str(fn_name);
            nb::object manifest = manifest_of(u);
            auto cut = [](nb::handle value) { return core::cut_value(host::repr(value)); };
            if (is_instance(u, node_class("InputNode"))) {
                nb::object inputs = inputs_of(u);
                if (!truthy(manifest)) {
                    core::KeyValues shown;
                    for (nb::handle key : inputs)
                        shown.emplace_back(host::str(key), cut(inputs[key]));
                    return host::from_utf8(core::upstream_values_block(id, fn, shown));
                }
                nb::object fields = section(manifest, "inputs");
                std::vector<std::string> lines = field_lines(self, fields, false);
                nb::dict extra_keys;
                for (nb::handle key : inputs)
                    if (!contains(fields, key)) extra_keys[key] = host::from_utf8(cut(inputs[key]));
                std::optional<std::string> extra;
                if (extra_keys.size()) extra = host::str(extra_keys);
                return host::from_utf8(core::upstream_inputs_block(id, fn, lines, extra));
            }
            return host::from_utf8(core::upstream_outputs_block(
                id, fn, field_lines(self, section(manifest, "outputs"), false)));
        },
        "u"_a.none(), "fn_name"_a.none(),
        nb::sig("def _upstream_block(self, u: _Node, fn_name: str) -> str"),
        "The block describing one upstream node and its connector's name.");

    cls.def(
        "_format_field",
        [](nb::handle, nb::handle k, nb::handle meta, nb::handle include_required) -> nb::str {
            core::Tags tags;
            nb::str empty("");
            for (std::string_view tag : core::kTagNames) {
                nb::str key = host::from_utf8(tag);
                if (!contains(meta, key)) continue;
                nb::object value = meta[key];
                if (value.is_none()) continue;
                if (!host::compare(value, empty, Py_EQ))
                    tags.emplace_back(std::string(tag), host::repr(value));
            }
            core::Required required = core::Required::hidden;
            if (host::arg_bool(include_required))
                required = truthy(meta.attr("get")("required")) ? core::Required::required
                                                                : core::Required::optional;
            return host::from_utf8(
                core::format_field(host::str(k), host::str(meta.attr("get")("type", "unknown")),
                                   required, tags, host::str(meta.attr("get")("description", ""))));
        },
        "k"_a.none(), "meta"_a.none(), "include_required"_a.none() = false,
        nb::sig("def _format_field(self, k: str, meta: collections.abc.Mapping[str, typing.Any], "
                "include_required: bool = False) -> str"),
        "One line describing field k.");
}

}  // namespace plexaro::weftling_binding
