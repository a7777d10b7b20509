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

std::string parent_directory(std::string_view path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

}  // namespace plexaro::files
