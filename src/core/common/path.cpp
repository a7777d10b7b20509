#include "common/path.hpp"

namespace plexaro::files {

std::string join_path(std::string_view dir, std::string_view name) {
    if (dir.empty() || (!name.empty() && name[0] == '/')) return std::string(name);
    std::string out;
    out.reserve(dir.size() + 1 + name.size());
    out.append(dir);
    if (out.back() != '/') out += '/';
    out.append(name);
    return out;
}

}  // namespace plexaro::files
