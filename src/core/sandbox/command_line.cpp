#include "sandbox/command_line.hpp"

#include <algorithm>
#include <unordered_map>

namespace plexaro::sandbox {

std::string substitute(std::string_view tmpl,
                       const std::vector<std::pair<std::string, std::string>> &replacements) {
    std::unordered_map<std::string_view, std::string_view> texts;
    texts.reserve(replacements.size());
    for (const auto &[name, value] : replacements) texts.emplace(name, value);  // first one wins
    std::string out;
    out.reserve(tmpl.size());
    std::size_t from = 0;
    while (from < tmpl.size()) {
        std::size_t open = tmpl.find('{', from);
        if (open == std::string_view::npos) break;
        std::size_t close = tmpl.find('}', open + 1);
        if (close == std::string_view::npos) break;
        // The placeholder is the innermost "{...}": "{{a}" holds "{a}".
        std::size_t inner = tmpl.rfind('{', close);
        out.append(tmpl, from, inner - from);
        auto hit = texts.find(tmpl.substr(inner + 1, close - inner - 1));
        if (hit != texts.end())
            out.append(hit->second);
        else
            out.append(tmpl, inner, close - inner + 1);
        from = close + 1;
    }
    out.append(tmpl.substr(std::min(from, tmpl.size())));
    return out;
}

bool is_placeholder(std::string_view w) {
    return w.size() >= 3 && w.front() == '{' && w.back() == '}' &&
           w.substr(1, w.size() - 2).find('}') == std::string_view::npos;
}

bool contains_placeholder(std::string_view w) {
    // "{" then at least one character other than "}", then a "}" later on
    // (the characters in between may include further "{").
    for (std::size_t open = w.find('{'); open != std::string_view::npos;
         open = w.find('{', open + 1)) {
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
    if (!clean.empty() &&
        (clean.front() == entrypoint || clean.front() == after_last_slash(entrypoint)))
        clean.erase(clean.begin());
}

}  // namespace plexaro::sandbox
