// Joining path strings the way the host's os.path.join does. (The tool run's
// own result paths are spelled like pathlib instead: sandbox/paths.hpp.)
#pragma once

#include <string>
#include <string_view>

namespace plexaro::files {

// os.path.join(dir, name): one "/" between them unless `dir` already ends in
// one; an empty `dir` gives `name`, an absolute `name` replaces `dir`.
// Nothing is normalised, so a path reads exactly as the host would build it.
std::string join_path(std::string_view dir, std::string_view name);

// The directory part of `path`: what precedes its last "/" ("/" for a
// name right below the root, "." for a bare name). Trailing slashes are not
// special: "a/b/" gives "a/b".
std::string parent_directory(std::string_view path);

}  // namespace plexaro::files
