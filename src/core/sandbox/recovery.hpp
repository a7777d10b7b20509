// What follows a failed first attempt of a tool run, and the question put to
// the LLM when it is asked for a tool's arguments.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plexaro::sandbox {

enum class Recovery {
    relocate,  // absolute paths the tool could not find: look for them in the image
    give_up,   // the manifest's template stands: the first error is final
    infer,     // no template: ask the LLM for the arguments
};

// The choice from the first error's text, the words the tool got and
// whether the manifest has an argument template.
Recovery choose_recovery(std::string_view error_text, const std::vector<std::string> &words,
                         bool has_template);

// A word that names a host path outside the tool's working directory.
bool is_stale_path(std::string_view word);

// Whether a tool's error text names the entry `name` of its working
// directory as a path: after a "/" ("/workspace/assembly", "./assembly") or
// inside quotes ('assembly', "assembly", `assembly`), as a whole component
// (not "assembly2", not "assembly.fa"). A bare word does not count: "out"
// in "timed out" names nothing.
bool names_entry(std::string_view text, std::string_view name);

// One manifest field as the prompt lists it.
struct PromptField {
    std::string name, type, description;  // display forms
};

// (input key, its staged file names joined by one space).
using StagedNames = std::vector<std::pair<std::string, std::string>>;

struct InferencePrompt {
    std::string tool_name, description, executable;
    std::vector<PromptField> inputs, outputs;
    StagedNames staged;
};

// The argument-inference prompt.
std::string inference_prompt(const InferencePrompt &p);

}  // namespace plexaro::sandbox
