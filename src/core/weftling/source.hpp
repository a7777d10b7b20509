// Source-text work of the connector generator: the host runtime's notion of
// white space, line splitting as the host's parser counts lines, the clean-up
// of model replies, connector names, and the connectors file's text.
#pragma once

#include "common/text.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plexaro::weftling {

// --- host text rules ---------------------------------------------------------

// The host's str.strip() and str.rstrip() (common/text holds the one
// implementation of its white space).
inline std::string_view py_strip(std::string_view text) {
    return text::strip_unicode_whitespace(text);
}
inline std::string_view py_rstrip(std::string_view text) {
    return text::rstrip_unicode_whitespace(text);
}

// Lines as the host's parser numbers them: "\r\n", "\r" and "\n" end a line,
// the breaks are dropped, and a break at the very end opens no further line.
// Other Unicode line boundaries stay inside their line, where they may sit in
// a string literal.
std::vector<std::string_view> source_lines(std::string_view code);
std::string join_lines(const std::vector<std::string_view> &lines);

// --- connector names -----------------------------------------------------------

using WordTest = std::function<bool(char32_t)>;

// Identifier fragment of a node id: the text after its last ".", with every
// character that is not a word character (per `is_word`) replaced by "_".
std::string ident(std::string_view node_id, const WordTest &is_word);
std::string edge_fn(std::string_view u_id, std::string_view v_id, const WordTest &is_word);

// --- reply clean-up --------------------------------------------------------------

// Trimmed reply without an opening fence line (three backticks and an ASCII
// language word) and without a closing fence at the very end.
std::string strip_fences(std::string_view reply);

// The text from the first line that, stripped, starts with "def "; the text
// unchanged when there is no such line.
std::string trim_to_first_def(std::string_view code);

// The lines whose 0-based index is not in `drop`, joined by "\n".
std::string remove_lines(std::string_view code, const std::set<std::size_t> &drop);

// Modules every connector may use without importing them: the connectors
// file imports them at its top.
inline constexpr std::string_view kPreImported[] = {"os", "json", "glob", "tempfile"};

// Standard modules a function needs imported: `used` (names it uses that are
// standard module names) minus what it imports, the pre-imported modules and
// `bound` (its parameters and the module's own top-level names, which those
// names refer to instead). Sorted by code point.
std::vector<std::string> missing_imports(const std::set<std::string> &used,
                                         const std::set<std::string> &imported,
                                         const std::set<std::string> &bound);

// Where a function's body starts, from the parser's positions (1-based line,
// byte column).
struct BodyStart {
    std::size_t line = 0, col = 0;  // first statement of the body
    bool docstring = false;         // the first statement is the docstring
    std::optional<std::pair<std::size_t, std::size_t>> next;  // second statement
};

// The code with one "import <module>" line per module placed as the first
// statements of the body (after a docstring that has a line of its own),
// indented exactly like the body; a body written on the signature's line is
// moved onto lines of its own first. The whole text is re-joined by "\n".
// Nothing when the position does not fit the text.
std::optional<std::string> insert_imports(std::string_view code, const BodyStart &body,
                                          const std::vector<std::string> &modules);

// --- the connectors file ----------------------------------------------------------

inline constexpr std::string_view kHeader =
    "# Auto-generated connector functions\nimport os\nimport json\nimport glob\nimport tempfile\n";

// Some line starts with "def ", the name and "(".
bool defines_function(std::string_view text, std::string_view name);

// The text without every definition of `name`: from a line starting with
// "def <name>(" through the line feed that precedes the next line starting
// with "def " or that ends the text. This is the rule for text that does not
// parse; text that parses is cut at statement boundaries instead.
std::string remove_function(std::string_view text, std::string_view name);

// The text after appending one batch of cleaned code.
std::string append_batch(std::string_view text, std::string_view code);

}  // namespace plexaro::weftling
