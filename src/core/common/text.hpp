// Text helpers shared by the core: UTF-8 code-point counting and cutting.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::text {

// Number of code points in UTF-8 text (continuation bytes are not counted).
std::size_t code_points(std::string_view utf8);

// The first `limit` code points of UTF-8 text.
std::string_view cut_code_points(std::string_view utf8, std::size_t limit);

bool starts_with(std::string_view text, std::string_view prefix);
bool ends_with(std::string_view text, std::string_view suffix);

// Words joined by `sep`.
std::string join(const std::vector<std::string> &words, std::string_view sep);

}  // namespace plexaro::text

namespace plexaro::text {

// --- strict UTF-8 and the host's white space ---------------------------------

// Result of decoding one UTF-8 sequence by the host's strict rules (no
// overlong forms, no surrogates, nothing above U+10FFFF).
enum class Utf8Status { ok, invalid, truncated };

// Decodes the sequence starting at `pos` (< text.size()). On `ok`, `cp` is
// the code point and `length` its byte length. `truncated` means the text
// ends inside a sequence whose bytes so far are valid, which matters to a
// reader that sees its input in pieces; to a whole text it is invalid.
Utf8Status decode_utf8(std::string_view text, std::size_t pos, char32_t &cp,
                       std::size_t &length);

bool valid_utf8(std::string_view text);

// Whether the host counts the code point as white space (str.isspace(), the
// set str.strip() removes without arguments).
bool is_unicode_space(char32_t cp);

// The host's str.strip() without arguments. Bytes that do not form valid
// UTF-8 are treated as non-space, so invalid text is never cut inside them.
std::string_view strip_unicode_whitespace(std::string_view utf8);

}  // namespace plexaro::text
