#include "sandbox/redirections.hpp"

namespace plexaro::sandbox {

std::string protect_brace_escapes(std::string_view t) {
    if (t.find("{{") == std::string_view::npos && t.find("}}") == std::string_view::npos)
        return std::string(t);
    std::string out;
    out.reserve(t.size());
    std::size_t i = 0, n = t.size();
    while (i < n) {
        char c = t[i];
        if (c == '{' && i + 1 < n && t[i + 1] == '{') {
            out += kOpenBraceMark;
            i += 2;
        } else if (c == '{') {
            // A placeholder runs to the next "}" (which a following "}" does
            // not double): "{{{a}}}" is "{", the placeholder, then "}".
            std::size_t close = t.find('}', i + 1);
            std::size_t end = close == std::string_view::npos ? n : close + 1;
            out.append(t, i, end - i);
            i = end;
        } else if (c == '}' && i + 1 < n && t[i + 1] == '}') {
            out += kCloseBraceMark;
            i += 2;
        } else {
            out += c;
            i += 1;
        }
    }
    return out;
}

void restore_braces(std::string &word) {
    for (char &c : word) {
        if (c == kOpenBraceMark)
            c = '{';
        else if (c == kCloseBraceMark)
            c = '}';
    }
}

StreamPlan read_redirections(const std::vector<std::string> &tokens,
                             const std::set<std::string, std::less<>> &output_slots,
                             const std::set<std::string, std::less<>> &staged_names) {
    StreamPlan plan;
    std::size_t i = 0;
    while (i < tokens.size()) {
        const std::string &tok = tokens[i];
        bool is_op = tok == ">" || tok == "<" || tok == "2>" || tok == ">>" || tok == "2>>";
        if (!is_op) {
            i += 1;
            continue;
        }
        // Every operator takes the next word with it, as the walk does.
        if (i + 1 < tokens.size()) {
            const std::string &target = tokens[i + 1];
            if (tok == ">" && output_slots.count(target))
                plan.stdout_slot = target;
            else if (tok == "2>" && output_slots.count(target))
                plan.stderr_slot = target;
            else if (tok == "<" && staged_names.count(target))
                plan.stdin_name = target;
        }
        i += 2;
    }
    return plan;
}

}  // namespace plexaro::sandbox
