#include "weftling/source.hpp"

#include "common/text.hpp"

#include <algorithm>

namespace plexaro::weftling {

namespace {

bool is_indent(std::string_view prefix) {
    return prefix.find_first_not_of(" \t\f") == std::string_view::npos;
}

}  // namespace

std::vector<std::string_view> source_lines(std::string_view code) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < code.size(); ++i) {
        if (code[i] != '\n' && code[i] != '\r') continue;
        lines.push_back(code.substr(start, i - start));
        if (code[i] == '\r' && i + 1 < code.size() && code[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < code.size()) lines.push_back(code.substr(start));
    return lines;
}

std::string join_lines(const std::vector<std::string_view> &lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) out.push_back('\n');
        out.append(lines[i]);
    }
    return out;
}

std::string ident(std::string_view node_id, const WordTest &is_word) {
    if (auto dot = node_id.rfind('.'); dot != std::string_view::npos)
        node_id.remove_prefix(dot + 1);
    std::string out;
    out.reserve(node_id.size());
    std::size_t pos = 0;
    while (pos < node_id.size()) {
        std::size_t at = pos;
        char32_t cp = text::next_code_point(node_id, pos, text::Surrogates::pass);
        if (is_word(cp))
            out.append(node_id.substr(at, pos - at));
        else
            out.push_back('_');
    }
    return out;
}

std::string edge_fn(std::string_view u_id, std::string_view v_id, const WordTest &is_word) {
    return "edge_" + ident(u_id, is_word) + "_to_" + ident(v_id, is_word);
}

std::string strip_fences(std::string_view reply) {
    std::string_view raw = py_strip(reply);
    if (text::starts_with(raw, "```")) {
        std::size_t i = 3;
        while (i < raw.size() &&
               ((raw[i] >= 'a' && raw[i] <= 'z') || (raw[i] >= 'A' && raw[i] <= 'Z')))
            ++i;
        if (i < raw.size() && raw[i] == '\n') ++i;
        raw.remove_prefix(i);
    }
    // The text is trimmed, so a closing fence can only stand at its very end.
    if (text::ends_with(raw, "```")) {
        raw.remove_suffix(3);
        if (!raw.empty() && raw.back() == '\n') raw.remove_suffix(1);
    }
    return std::string(raw);
}

std::string trim_to_first_def(std::string_view code) {
    std::vector<std::string_view> lines = source_lines(code);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (text::starts_with(py_strip(lines[i]), "def "))
            return join_lines({lines.begin() + (std::ptrdiff_t)i, lines.end()});
    }
    return std::string(code);
}

std::string remove_lines(std::string_view code, const std::set<std::size_t> &drop) {
    std::vector<std::string_view> lines = source_lines(code), kept;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (!drop.count(i)) kept.push_back(lines[i]);
    return join_lines(kept);
}

std::vector<std::string> missing_imports(const std::set<std::string> &used,
                                         const std::set<std::string> &imported,
                                         const std::set<std::string> &bound) {
    std::vector<std::string> missing;
    for (const std::string &name : used) {
        if (imported.count(name) || bound.count(name)) continue;
        if (std::find(std::begin(kPreImported), std::end(kPreImported), name) !=
            std::end(kPreImported))
            continue;
        missing.push_back(name);
    }
    // UTF-8 byte order is code-point order; std::set already iterates in it.
    return missing;
}

std::optional<std::string> insert_imports(std::string_view code, const BodyStart &body,
                                          const std::vector<std::string> &modules) {
    std::vector<std::string_view> lines = source_lines(code);
    auto fits = [&](std::size_t line, std::size_t col) {
        return line >= 1 && line <= lines.size() && col <= lines[line - 1].size();
    };
    auto begins_line = [&](std::size_t line, std::size_t col) {
        return fits(line, col) && is_indent(lines[line - 1].substr(0, col));
    };
    if (!fits(body.line, body.col)) return std::nullopt;

    std::vector<std::string> added;  // owns the new lines the views point at
    added.reserve(modules.size() + 2);
    std::vector<std::string_view> out;
    out.reserve(lines.size() + modules.size() + 1);

    if (begins_line(body.line, body.col)) {
        std::size_t line = body.line, col = body.col;
        // Imports go after a docstring so it stays the function's __doc__.
        if (body.docstring && body.next && begins_line(body.next->first, body.next->second)) {
            line = body.next->first;
            col = body.next->second;
        }
        std::string_view indent = lines[line - 1].substr(0, col);
        for (const std::string &m : modules) added.push_back(std::string(indent) + "import " + m);
        out.assign(lines.begin(), lines.begin() + (std::ptrdiff_t)(line - 1));
        out.insert(out.end(), added.begin(), added.end());
        out.insert(out.end(), lines.begin() + (std::ptrdiff_t)(line - 1), lines.end());
        return join_lines(out);
    }

    // The body shares its line with the signature: give it lines of its own.
    std::string_view line = lines[body.line - 1];
    std::string_view head = line.substr(0, body.col);
    head = head.substr(0, head.find_last_not_of(" \t") + 1);
    const std::string indent = "    ";
    for (const std::string &m : modules) added.push_back(indent + "import " + m);
    added.push_back(indent + std::string(line.substr(body.col)));
    out.assign(lines.begin(), lines.begin() + (std::ptrdiff_t)(body.line - 1));
    out.push_back(head);
    out.insert(out.end(), added.begin(), added.end());
    out.insert(out.end(), lines.begin() + (std::ptrdiff_t)body.line, lines.end());
    return join_lines(out);
}

namespace {

// First position from `from` on where a line starting with `needle` begins.
std::size_t find_at_line_start(std::string_view text, std::string_view needle, std::size_t from) {
    for (std::size_t at = text.find(needle, from); at != std::string_view::npos;
         at = text.find(needle, at + 1))
        if (at == 0 || text[at - 1] == '\n') return at;
    return std::string_view::npos;
}

}  // namespace

bool defines_function(std::string_view text, std::string_view name) {
    std::string needle = "def " + std::string(name) + "(";
    return find_at_line_start(text, needle, 0) != std::string_view::npos;
}

std::string remove_function(std::string_view text, std::string_view name) {
    const std::string needle = "def " + std::string(name) + "(";
    std::string out;
    std::size_t kept_from = 0, from = 0;
    while (true) {
        std::size_t start = find_at_line_start(text, needle, from);
        if (start == std::string_view::npos) break;
        // The definition runs through the first line feed that is followed by
        // another top-level "def " or ends the text.
        std::size_t end = std::string_view::npos;
        for (std::size_t nl = text.find('\n', start + needle.size()); nl != std::string_view::npos;
             nl = text.find('\n', nl + 1)) {
            if (nl + 1 == text.size() || text.substr(nl + 1, 4) == "def ") {
                end = nl + 1;
                break;
            }
        }
        if (end == std::string_view::npos) break;  // nothing after it ends it
        out.append(text.substr(kept_from, start - kept_from));
        kept_from = from = end;
    }
    out.append(text.substr(kept_from));
    return out;
}

std::string append_batch(std::string_view text, std::string_view code) {
    std::string out(py_rstrip(text));
    out.append("\n\n").append(code).append("\n");
    return out;
}

}  // namespace plexaro::weftling
