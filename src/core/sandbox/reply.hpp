// Text rules of the host's str methods that the tool run applies to what
// outside programs and the LLM answer: strip() and splitlines().
#pragma once

#include "common/text.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace plexaro::sandbox {

// The host's str.strip() without arguments on UTF-8 text (every Unicode
// white-space character counts, not only ASCII); see common/text.
inline std::string_view strip(std::string_view utf8) {
    return text::strip_unicode_whitespace(utf8);
}

// True when strip() leaves nothing.
bool is_blank(std::string_view utf8);

// An LLM reply made ready for splitting: stripped, one run of backticks
// removed at the very start and one at the very end, stripped again.
std::string_view clean_reply(std::string_view utf8);

// The non-empty stripped lines of a program's output, in order, with the
// host's line boundaries (\n, \r, \r\n, \v, \f, \x1c-\x1e, \x85, U+2028/9).
std::vector<std::string> stripped_lines(std::string_view utf8);

}  // namespace plexaro::sandbox
