#include "sandbox/recovery.hpp"

namespace plexaro::sandbox {

bool is_stale_path(std::string_view word) {
    return word.substr(0, 1) == "/" && word.substr(0, 10) != "/workspace";
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
