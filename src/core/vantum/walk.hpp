// Listing the files under a directory the way the host's os.walk sees them.
#pragma once

#include "common/path.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::vantum {

// Orders two file-system paths as the host orders the strings it decodes
// them to (UTF-8 with undecodable bytes escaped to U+DC80..U+DCFF), which
// differs from byte order only for names that are not valid UTF-8.
bool host_order_less(std::string_view a, std::string_view b);

// The host's os.path.join of two parts (common/path).
using files::join_path;

// Relative paths ("sub/y.csv") of every non-directory entry under `top`,
// walked top-down: symbolic links to directories are neither listed nor
// entered, and directories that cannot be read are left out without error.
// Only the first `limit` paths in host order are kept; the full path of each
// is join_path(top, relative), and since every full path shares that prefix
// (ending in a separator, so decoding lines up),
// relative order is full-path order.
std::vector<std::string> list_files(const std::string &top, std::size_t limit);

}  // namespace plexaro::vantum
