// Reading the text of "mivo show": line splitting with the host's rules and
// the small manifest the front end builds from the labelled lines.
#pragma once

#include "common/text.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::mivo {

// The host's str.splitlines() and str.strip(), which the front end applies
// to the text (they live with the other host text rules in common/text).
using text::split_lines;
inline std::string_view strip(std::string_view utf8) {
    return text::strip_unicode_whitespace(utf8);
}

struct ShowManifest {
    std::optional<std::string> image;
    std::optional<std::string> entrypoint;
    std::optional<std::string> args_template;
    bool gpu_required = false;
};

// "Image:", "Entrypoint:" and "Args template:" lines (exact case, at the start
// of the stripped line, later lines win) and any line mentioning the GPU
// together with "required" or "true" (case-blind).
ShowManifest parse_show_text(std::string_view utf8);

}  // namespace plexaro::mivo
