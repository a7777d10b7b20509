#include "mivo/show_text.hpp"

#include "common/text.hpp"

namespace plexaro::mivo {

namespace {

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool take_label(std::string_view line, std::string_view label, std::optional<std::string> &field) {
    if (!text::starts_with(line, label)) return false;
    field = std::string(strip(line.substr(label.size())));
    return true;
}

}  // namespace

ShowManifest parse_show_text(std::string_view utf8) {
    ShowManifest manifest;
    for (std::string_view raw : split_lines(utf8)) {
        std::string_view line = strip(raw);
        if (take_label(line, "Image:", manifest.image)) continue;
        if (take_label(line, "Entrypoint:", manifest.entrypoint)) continue;
        if (take_label(line, "Args template:", manifest.args_template)) continue;
        // Only ASCII letters lower-case to the letters of these words, so an
        // ASCII lower-casing finds exactly what the host's would.
        std::string lower = ascii_lower(line);
        if (lower.find("gpu") != std::string::npos &&
            (lower.find("required") != std::string::npos ||
             lower.find("true") != std::string::npos))
            manifest.gpu_required = true;
    }
    return manifest;
}

}  // namespace plexaro::mivo
