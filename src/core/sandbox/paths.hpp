// Path strings spelled the way the host's pathlib spells them, so the paths
// the tool run hands back read exactly like the host's own.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace plexaro::sandbox {

// pathlib's final component: trailing slashes and "." parts ignored, "" for
// "/", "." and "".
std::string_view path_name(std::string_view path);

// str(PurePosixPath(a) / b / ...): "//" collapses, "." parts vanish, a later
// absolute part restarts the path, "." for nothing.
std::string path_join(std::initializer_list<std::string_view> parts);

// `path`, a path_join of `root` and more parts, relative to `root` ("" for
// `root` itself).
std::string relative_path(std::string_view root, std::string_view path);

// A name that, joined below a directory, would land outside it (absolute,
// or with a ".." part).
bool leaves_directory(std::string_view name);

// `name` usable as one file name: every "/" becomes "_", so a slot key or a
// tool name such as "org/tool" can never reach into (or out of) another
// directory when it is built into a file name.
std::string flat_name(std::string_view name);

}  // namespace plexaro::sandbox
