// From a tool's argument template to the words the tool receives.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plexaro::sandbox {

// Replaces every "{name}" by its text in one pass over the template (when a
// name is given twice, the first text counts). Replacement texts are never
// read again: a file name holding "{x}" stays as it is. Plain text, no
// escaping and no format-specifier syntax.
std::string substitute(std::string_view tmpl,
                       const std::vector<std::pair<std::string, std::string>> &replacements);

// The whole word is one placeholder ("{x}"; "{}" is not one).
bool is_placeholder(std::string_view word);
// A placeholder occurs somewhere in the word ("--min={q}", "{a}{b}").
bool contains_placeholder(std::string_view word);

struct WalkResult {
    std::vector<std::string> clean;           // words for the tool
    std::optional<std::string> capture_slot;  // output slot fed by "> slot"
};

// Drops the redirections ">", "<", "2>", ">>", "2>>" with the word after
// each ("> slot" to an output slot captures standard output there; the last
// one wins), unresolved placeholders (a bare one takes the flag before it
// along) and words that still hold a placeholder.
WalkResult walk_tokens(const std::vector<std::string> &tokens,
                       const std::set<std::string, std::less<>> &output_slots);

// The text after the last '/' (all of it when there is none).
std::string_view after_last_slash(std::string_view path);

// Removes the first word once when it names the executable, by the
// manifest's spelling or by its final component.
void drop_entrypoint(std::vector<std::string> &clean, std::string_view entrypoint);

}  // namespace plexaro::sandbox
