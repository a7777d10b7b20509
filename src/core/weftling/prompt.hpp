// Connector prompt assembly. The binding computes every host conversion
// (display forms, representations, instance tests) and hands the results
// here as UTF-8 text; this file only knows the fixed texts and their order.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plexaro::weftling {

namespace texts {
extern const std::string_view kRules;
extern const std::string_view kScatter;
extern const std::string_view kCoding;
}  // namespace texts

// The tags a field line shows, in the order they are shown.
inline constexpr std::string_view kTagNames[] = {
    "entity", "cardinality", "format", "role", "cardinality_with", "write_mode", "fallback"};

// Upstream values are shown by their representation cut to this many code points.
inline constexpr std::size_t kValueCut = 80;

enum class Required { hidden, required, optional };

// (tag name, representation of its value), already filtered and in tag order.
using Tags = std::vector<std::pair<std::string, std::string>>;
// (display form of a key, representation of its value).
using KeyValues = std::vector<std::pair<std::string, std::string>>;

std::string format_field(std::string_view name, std::string_view type, Required required,
                         const Tags &tags, std::string_view description);

// A representation cut to the first kValueCut code points.
std::string cut_value(std::string_view repr);

// Downstream input node without a manifest: its current values, uncut.
std::string downstream_values_block(const KeyValues &values);
// Downstream described by its manifest inputs (field lines with required markers).
std::string downstream_manifest_block(std::string_view id,
                                      const std::vector<std::string> &field_lines);

// Upstream input node without a manifest; `values` hold the cut representations.
std::string upstream_values_block(std::string_view id, std::string_view fn,
                                  const KeyValues &values);
// Upstream input node with a manifest; `extra` is the display form of the
// runtime keys the manifest does not list, when there are any.
std::string upstream_inputs_block(std::string_view id, std::string_view fn,
                                  const std::vector<std::string> &field_lines,
                                  const std::optional<std::string> &extra);
// Upstream tool node: its manifest outputs.
std::string upstream_outputs_block(std::string_view id, std::string_view fn,
                                   const std::vector<std::string> &field_lines);

struct StoredSibling {
    std::string id;  // display form of the node id
    std::string fn;  // display form of the connector name
    bool input_node = false;
};

struct PromptParts {
    std::string downstream_id;  // display form
    std::string downstream_block;
    std::vector<std::string> upstream_blocks;  // one per edge to generate, in order
    std::vector<std::string> names;            // connector names to generate, in order
    std::optional<std::string> scatter_fn;     // the scatter edge's name, if one was asked for
    std::optional<std::string> split_key;      // display form, only when the key is truthy
    std::vector<std::string> input_node_names;
    std::vector<std::string> regular_node_names;
    std::vector<StoredSibling> stored;
    std::optional<std::string> extra_context;  // as given; only when a non-empty string
};

// True when the batch holds the scatter edge, so the scatter texts apply.
bool is_scatter(const PromptParts &parts);

std::string build_prompt(const PromptParts &parts);

// The one request to fix a reply that does not parse: the host's
// SyntaxError text (`error`), then the code.
std::string syntax_repair_prompt(std::string_view error, std::string_view code);

}  // namespace plexaro::weftling
