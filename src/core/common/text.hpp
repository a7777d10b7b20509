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

// --- UTF-8 as the host reads it, and the host's white space and lines ---------
// This is the one place that decodes UTF-8 in the core; every rule that looks
// at characters (white space, line breaks, name patterns, host ordering)
// reads them through decode_utf8 or next_code_point.

// Result of decoding one UTF-8 sequence by the host's strict rules (no
// overlong forms, nothing above U+10FFFF, surrogates as `Surrogates` says).
enum class Utf8Status { ok, invalid, truncated };

// Lone surrogates (U+D800..U+DFFF): the host's strict codec refuses them,
// but its text reaches the layer encoded with "surrogatepass", so a text
// that came from the host may hold them as three-byte sequences.
enum class Surrogates { reject, pass };

// Decodes the sequence starting at `pos` (< text.size()). On `ok`, `cp` is
// the code point and `length` its byte length. `truncated` means the text
// ends inside a sequence whose bytes so far are valid, which matters to a
// reader that sees its input in pieces; to a whole text it is invalid.
Utf8Status decode_utf8(std::string_view text, std::size_t pos, char32_t &cp, std::size_t &length,
                       Surrogates surrogates = Surrogates::reject);

bool valid_utf8(std::string_view text);

// The character at `pos` (< text.size()), advancing `pos` past it. A byte
// that starts no valid sequence reads as U+DC00 + byte and advances by one,
// as the host's "surrogateescape" decoding of file names has it; such a
// character is never white space, a line break or a word character.
char32_t next_code_point(std::string_view text, std::size_t &pos,
                         Surrogates surrogates = Surrogates::reject);

// The whole text as code points, by next_code_point.
std::u32string code_points_of(std::string_view text, Surrogates surrogates = Surrogates::reject);

// Whether the host counts the code point as white space (str.isspace(), the
// set str.strip() removes without arguments).
bool is_unicode_space(char32_t cp);

// Whether the host's str.splitlines() ends a line at the code point:
// \n, \r, \v, \f, \x1c, \x1d, \x1e, U+0085, U+2028, U+2029.
bool is_line_break(char32_t cp);

// The host's str.strip() and str.rstrip() without arguments. Bytes that do
// not form valid UTF-8 are treated as non-space, so invalid text is never cut
// inside them. Both cost what the white space at the ends costs, not what
// the whole text does.
std::string_view strip_unicode_whitespace(std::string_view utf8);
std::string_view rstrip_unicode_whitespace(std::string_view utf8);

// The host's str.splitlines(): breaks are dropped ("\r\n" is one), and a
// final break does not start another (empty) line. Invalid bytes stay
// inside their line.
std::vector<std::string_view> split_lines(std::string_view utf8);

}  // namespace plexaro::text
