// Naming of image archives in the cache directory.
#pragma once

#include <string_view>

namespace plexaro::engine {

// True when "<tool>.tar" joined to the cache directory stays inside it: the
// name is not absolute and has no ".." component. A name with "/" names a
// subdirectory of the cache.
bool archive_name_stays_inside(std::string_view tool);

}  // namespace plexaro::engine
