#include "weftling/prompt.hpp"

#include "common/text.hpp"
#include "weftling/source.hpp"

#include <algorithm>

namespace plexaro::weftling {

namespace {

std::string lines_of(const std::vector<std::string> &lines) { return text::join(lines, "\n"); }

std::string key_value_lines(const KeyValues &values) {
    std::vector<std::string> lines;
    lines.reserve(values.size());
    for (const auto &[key, value] : values) lines.push_back("  - " + key + ": " + value);
    return lines_of(lines);
}

std::string upstream_head(std::string_view id, std::string_view fn) {
    return "--- UPSTREAM '" + std::string(id) + "' (function name: " + std::string(fn);
}

}  // namespace

std::string format_field(std::string_view name, std::string_view type, Required required,
                         const Tags &tags, std::string_view description) {
    std::string out = "  - ";
    out.append(name).append(": ").append(type);
    if (required == Required::required) out.append(" (required)");
    if (required == Required::optional) out.append(" (optional)");
    if (!tags.empty()) {
        std::vector<std::string> shown;
        shown.reserve(tags.size());
        for (const auto &[tag, value] : tags) shown.push_back(tag + "=" + value);
        out.append(" [").append(text::join(shown, ", ")).append("]");
    }
    out.append(" — ").append(description);
    return out;
}

std::string cut_value(std::string_view repr) {
    return std::string(text::cut_code_points(repr, kValueCut));
}

std::string downstream_values_block(const KeyValues &values) {
    return "DOWNSTREAM is an InputNode. Its current keys and values are:\n" +
           key_value_lines(values) +
           "\nApply the same STEP 1-4 reasoning — match by entity, convert format if needed. "
           "Do NOT passthrough everything blindly.\n\n";
}

std::string downstream_manifest_block(std::string_view id,
                                      const std::vector<std::string> &field_lines) {
    return "DOWNSTREAM tool '" + std::string(id) + "' inputs (from MANIFEST):\n" +
           lines_of(field_lines) + "\n\n";
}

std::string upstream_values_block(std::string_view id, std::string_view fn,
                                  const KeyValues &values) {
    return upstream_head(id, fn) +
           ") ---\nInputNode with these key-value pairs (user-provided, all available):\n" +
           key_value_lines(values) +
           "\nFor every key whose name matches a downstream field name, pass it through "
           "directly. Do not omit any key that appears in the downstream inputs — if the name "
           "matches, always include it.\n\n";
}

std::string upstream_inputs_block(std::string_view id, std::string_view fn,
                                  const std::vector<std::string> &field_lines,
                                  const std::optional<std::string> &extra) {
    std::string extra_block;
    if (extra)
        extra_block =
            "\nAdditional keys available at runtime (pass through if name matches a "
            "downstream field): " +
            *extra;
    return upstream_head(id, fn) +
           ") ---\nInputs (from MANIFEST — these are the values that just flowed into this "
           "node):\n" +
           lines_of(field_lines) + extra_block + "\n\n";
}

std::string upstream_outputs_block(std::string_view id, std::string_view fn,
                                   const std::vector<std::string> &field_lines) {
    return upstream_head(id, fn) + ") ---\nOutputs (from MANIFEST):\n" + lines_of(field_lines) +
           "\n\n";
}

bool is_scatter(const PromptParts &parts) {
    return parts.scatter_fn && std::find(parts.names.begin(), parts.names.end(),
                                         *parts.scatter_fn) != parts.names.end();
}

std::string build_prompt(const PromptParts &p) {
    const bool scatter = is_scatter(p);
    const std::string count = std::to_string(p.names.size());

    std::string scatter_block;
    if (scatter) {
        std::string key_hint;
        if (p.split_key)
            key_hint = " The upstream key '" + *p.split_key + "' holds the collection to fan out.";
        scatter_block = "STEP 3b — SCATTER / MAP DOWNSTREAM (applies ONLY to function '" +
                        *p.scatter_fn +
                        "')\nThe downstream runs ONCE PER ITEM of the upstream collection." +
                        key_hint + " So '" + *p.scatter_fn + std::string(texts::kScatter);
    }

    std::string priority_note;
    if (!p.input_node_names.empty()) {
        if (p.regular_node_names.empty())
            priority_note =
                "All upstreams are InputNodes (user-provided data). Pass through or "
                "rename keys to match downstream input names.\n\n";
        else
            priority_note =
                "PRIORITY: InputNode upstreams (" + text::join(p.input_node_names, ", ") +
                ") supply user-provided values and take precedence. For any downstream field "
                "that an InputNode can supply, the InputNode connector owns it — regular tool "
                "connectors (" +
                text::join(p.regular_node_names, ", ") +
                ") must NOT also return that same key. Regular tool connectors only fill fields "
                "the InputNode(s) cannot cover.\n\n";
    }

    std::string stored_block;
    if (!p.stored.empty()) {
        std::vector<std::string> lines;
        for (const auto &s : p.stored)
            lines.push_back("  - " + s.id + " (" + s.fn + ")" +
                            (s.input_node ? " [InputNode]" : ""));
        stored_block = "ALREADY-GENERATED CONNECTORS (do NOT regenerate these):\n" +
                       lines_of(lines) +
                       "\nTreat any field these connectors cover as already supplied — your new "
                       "functions must not return those same keys (except InputNode fields can "
                       "always override regular-node fields).\n\n";
    }

    std::string out;
    out.reserve(texts::kRules.size() + texts::kScatter.size() + texts::kCoding.size() + 4096);
    out.append(
        "You are a Python coding agent. Write syntactically valid Python only — no prose, "
        "no markdown.\n\nYOUR JOB: Write ");
    out.append(count);
    out.append(texts::kRules);
    out.append(scatter_block);
    out.append(priority_note);
    out.append(stored_block);
    out.append("DOWNSTREAM TOOL '").append(p.downstream_id).append("' — fields it needs:\n");
    out.append(p.downstream_block);
    out.append("UPSTREAMS TO GENERATE CONNECTORS FOR:\n");
    out.append(text::join(p.upstream_blocks, "\n"));
    if (p.extra_context && !p.extra_context->empty())
        out.append("\nADDITIONAL CONTEXT:\n").append(py_strip(*p.extra_context)).append("\n\n");
    out.append("\nCODING CONSTRAINTS:\n");
    if (scatter)
        out.append("  - Signature: def <name>(output: dict) -> dict, EXCEPT function '")
            .append(*p.scatter_fn)
            .append("' which returns list[dict] (SCATTER edge — see STEP 3b).\n");
    else
        out.append("  - Signature: def <name>(output: dict) -> dict\n");
    out.append(texts::kCoding);
    out.append(count);
    out.append(" function(s) with these exact names: ")
        .append(text::join(p.names, ", "))
        .append(".");
    return out;
}

}  // namespace plexaro::weftling
