#include "sandbox/recovery.hpp"

namespace plexaro::sandbox {

bool is_stale_path(std::string_view word) {
    return word.substr(0, 1) == "/" && word.substr(0, 10) != "/workspace";
}

namespace {

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || (unsigned char)c >= 0x80;
}

bool quote(char c) { return c == '\'' || c == '"' || c == '`'; }

}  // namespace

bool names_entry(std::string_view text, std::string_view name) {
    if (name.empty()) return false;
    for (std::size_t at = text.find(name); at != std::string_view::npos;
         at = text.find(name, at + 1)) {
        char before = at == 0 ? ' ' : text[at - 1];
        std::size_t end = at + name.size();
        // A "." closing a sentence ends the name; one that starts an
        // extension does not.
        std::size_t after_name = end;
        while (after_name < text.size() && text[after_name] == '.') ++after_name;
        bool whole = after_name == text.size() || !name_char(text[after_name]);
        if (end < text.size() && text[end] != '.' && name_char(text[end])) whole = false;
        if (!whole) continue;
        if (before == '/') return true;
        if (quote(before) && end < text.size() && (text[end] == before || text[end] == '/'))
            return true;
    }
    return false;
}

Recovery choose_recovery(std::string_view error_text, const std::vector<std::string> &words,
                         bool has_template) {
    if (error_text.find("No such file or directory") != std::string_view::npos)
        for (const std::string &w : words)
            if (is_stale_path(w)) return Recovery::relocate;
    return has_template ? Recovery::give_up : Recovery::infer;
}

namespace {

// One "  - name: type \u2014 description" line per field.
std::string field_lines(const std::vector<PromptField> &fields) {
    std::string out;
    for (const PromptField &f : fields) {
        if (!out.empty()) out += "\n";
        out += "  - " + f.name + ": " + f.type + " \u2014 " + f.description;
    }
    return out;
}

}  // namespace

std::string inference_prompt(const InferencePrompt &p) {
    std::string staged;
    for (const auto &[key, names] : p.staged) {
        if (!staged.empty()) staged += "\n";
        staged += "  - " + key + ": " + names;
    }
    return "Tool: " + p.tool_name + "\nDescription: " + p.description +
           "\nBinary: " + p.executable + "\n\nManifest inputs:\n" + field_lines(p.inputs) +
           "\n\nManifest outputs:\n" + field_lines(p.outputs) +
           "\n\nStaged files available in /workspace (key \u2192 filename):\n" + staged +
           "\n\nWrite the correct command-line arguments to pass to '" + p.executable +
           "'. Include any required subcommand. Do NOT include the binary name itself. "
           "Use the staged filenames exactly as shown. Return ONLY the shell-quoted "
           "argument string, no explanation, no markdown.";
}

}  // namespace plexaro::sandbox
