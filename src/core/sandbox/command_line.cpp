#include "sandbox/command_line.hpp"

namespace plexaro::sandbox {

std::string substitute(std::string_view tmpl,
                       const std::vector<std::pair<std::string, std::string>> &replacements) {
    std::string text(tmpl);
    std::string needle, out;
    for (const auto &[name, value] : replacements) {
        needle.assign("{").append(name).append("}");
        std::size_t at = text.find(needle);
        if (at == std::string::npos) continue;
        out.clear();
        std::size_t from = 0;
        while (at != std::string::npos) {
            out.append(text, from, at - from).append(value);
            from = at + needle.size();
            at = text.find(needle, from);
        }
        out.append(text, from, std::string::npos);
        text.swap(out);
    }
    return text;
}

bool is_placeholder(std::string_view w) {
    return w.size() >= 3 && w.front() == '{' && w.back() == '}' &&
           w.substr(1, w.size() - 2).find('}') == std::string_view::npos;
}

bool contains_placeholder(std::string_view w) {
    // "{" then at least one character other than "}", then a "}" later on
    // (the characters in between may include further "{").
    for (std::size_t open = w.find('{'); open != std::string_view::npos; open = w.find('{', open + 1)) {
        if (open + 1 < w.size() && w[open + 1] != '}' &&
            w.find('}', open + 2) != std::string_view::npos)
            return true;
    }
    return false;
}

WalkResult walk_tokens(const std::vector<std::string> &tokens,
                       const std::set<std::string, std::less<>> &output_slots) {
    WalkResult r;
    std::size_t i = 0;
    while (i < tokens.size()) {
        const std::string &tok = tokens[i];
        if (tok == ">" || tok == "<" || tok == "2>" || tok == ">>" || tok == "2>>") {
            if (tok == ">" && i + 1 < tokens.size() && output_slots.count(tokens[i + 1]))
                r.capture_slot = tokens[i + 1];
            i += 2;
        } else if (is_placeholder(tok)) {
            // The flag that would have taken the missing value goes too.
            if (!r.clean.empty() && !r.clean.back().empty() && r.clean.back()[0] == '-')
                r.clean.pop_back();
            i += 1;
        } else if (contains_placeholder(tok)) {
            i += 1;
        } else {
            r.clean.push_back(tok);
            i += 1;
        }
    }
    return r;
}

std::string_view after_last_slash(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void drop_entrypoint(std::vector<std::string> &clean, std::string_view entrypoint) {
    if (!clean.empty() && (clean.front() == entrypoint || clean.front() == after_last_slash(entrypoint)))
        clean.erase(clean.begin());
}

}  // namespace plexaro::sandbox
