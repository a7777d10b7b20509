// Reading the text of "mivo show": line splitting with the host's rules and
// the small manifest the front end builds from the labelled lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::mivo {

// Lines of UTF-8 text, split at every boundary the host's str.splitlines
// knows: \n, \r, \r\n, \v, \f, \x1c, \x1d, \x1e, U+0085, U+2028, U+2029.
// Breaks are dropped; a final break does not start another (empty) line.
std::vector<std::string_view> split_lines(std::string_view utf8);

// `utf8` without the leading and trailing characters the host's str.strip
// removes (every Unicode white-space character).
std::string_view strip(std::string_view utf8);

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
