// Quoting of words for the bash scripts the engine support writes.
#pragma once

#include <string>
#include <string_view>

namespace plexaro::engine {

// `text` as the inside of a bash double-quoted word: backslash, double quote,
// dollar and backquote are escaped, so the value is taken literally.
std::string double_quote_body(std::string_view text);

// `text` as one bash word: unchanged when it holds only characters that mean
// nothing to the shell, otherwise single-quoted.
std::string shell_word(std::string_view text);

}  // namespace plexaro::engine
