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
