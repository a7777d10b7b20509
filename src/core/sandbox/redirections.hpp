// The template forms beyond plain placeholders: "{{" and "}}" for literal
// braces, and which stream each redirection ties to a slot or an input.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::sandbox {

// Literal braces written "{{" and "}}" become marker bytes before the
// placeholders are filled in, so no placeholder rule sees them; the words
// get their braces back after the walk. The markers (0xFE, 0xFF) never
// occur in UTF-8 text, so no value or name can forge one.
inline constexpr char kOpenBraceMark = '\xFE';
inline constexpr char kCloseBraceMark = '\xFF';

// Reads the template as the host's str.format reads its text: "{{" is a
// literal "{"; "{" up to the next "}" is a placeholder and is kept as it
// stands; outside a placeholder "}}" is a literal "}". Anything else stays.
// A template without "{{" or "}}" comes back unchanged.
std::string protect_brace_escapes(std::string_view tmpl);

// The marker bytes of a finished word turned back into braces.
void restore_braces(std::string &word);

// The streams a template's redirections tie to the run:
//   "> slot"   standard output into an output slot,
//   "2> slot"  standard error into an output slot,
//   "< name"   standard input from a staged input (its name in the sandbox).
// The operator and the word after it never reach the tool (the token walk
// drops them); a redirection to anything else only drops them. The last
// one of a kind wins.
struct StreamPlan {
    std::optional<std::string> stdout_slot;
    std::optional<std::string> stderr_slot;
    std::optional<std::string> stdin_name;
};

StreamPlan read_redirections(const std::vector<std::string> &tokens,
                             const std::set<std::string, std::less<>> &output_slots,
                             const std::set<std::string, std::less<>> &staged_names);

}  // namespace plexaro::sandbox
