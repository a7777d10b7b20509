#include "mivo/show_text.hpp"

#include "common/text.hpp"

#include <cstdint>

namespace plexaro::mivo {

namespace {

// Decodes the code point at `i` and its byte length; invalid bytes count as
// one-byte characters that are neither breaks nor white space.
std::uint32_t code_point_at(std::string_view s, std::size_t i, std::size_t &length) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    std::size_t need = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (need == 0 || i + need > s.size()) {
        length = 1;
        return 0xFFFFFFFF;
    }
    std::uint32_t cp = need == 1 ? c : need == 2 ? (c & 0x1F) : need == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < need; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            length = 1;
            return 0xFFFFFFFF;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    length = need;
    return cp;
}

bool is_line_break(std::uint32_t cp) {
    return cp == 0x0A || cp == 0x0B || cp == 0x0C || cp == 0x0D || cp == 0x1C || cp == 0x1D ||
           cp == 0x1E || cp == 0x85 || cp == 0x2028 || cp == 0x2029;
}

bool is_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 ||
           cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

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

std::vector<std::string_view> split_lines(std::string_view s) {
    std::vector<std::string_view> lines;
    std::size_t start = 0, i = 0;
    while (i < s.size()) {
        std::size_t length = 1;
        std::uint32_t cp = code_point_at(s, i, length);
        if (is_line_break(cp)) {
            lines.push_back(s.substr(start, i - start));
            if (cp == 0x0D && i + 1 < s.size() && s[i + 1] == '\n') ++length;
            start = i + length;
        }
        i += length;
    }
    if (start < s.size()) lines.push_back(s.substr(start));
    return lines;
}

std::string_view strip(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t length = 1;
        if (!is_space(code_point_at(s, begin, length))) break;
        begin += length;
    }
    std::size_t end = begin;  // one past the last non-space character
    for (std::size_t i = begin; i < s.size();) {
        std::size_t length = 1;
        bool space = is_space(code_point_at(s, i, length));
        i += length;
        if (!space) end = i;
    }
    return s.substr(begin, end - begin);
}

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
            (lower.find("required") != std::string::npos || lower.find("true") != std::string::npos))
            manifest.gpu_required = true;
    }
    return manifest;
}

}  // namespace plexaro::mivo
