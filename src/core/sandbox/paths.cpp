#include "sandbox/paths.hpp"

#include <vector>

namespace plexaro::sandbox {

namespace {

template <typename Fn> void each_part(std::string_view path, Fn &&fn) {
    std::size_t i = 0;
    while (i < path.size()) {
        std::size_t slash = path.find('/', i);
        std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        std::string_view part = path.substr(i, end - i);
        if (!part.empty() && part != ".") fn(part);
        i = end + 1;
    }
}

}  // namespace

std::string_view path_name(std::string_view path) {
    std::string_view last;
    each_part(path, [&](std::string_view part) { last = part; });
    return last;
}

std::string path_join(std::initializer_list<std::string_view> parts) {
    std::string root;
    std::vector<std::string_view> kept;
    for (std::string_view p : parts) {
        if (!p.empty() && p[0] == '/') {
            kept.clear();
            // POSIX keeps exactly two leading slashes; one or three and more mean "/".
            root = (p.size() >= 2 && p[1] == '/' && (p.size() == 2 || p[2] != '/')) ? "//" : "/";
        }
        each_part(p, [&](std::string_view part) { kept.push_back(part); });
    }
    std::string out = root;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (i) out += '/';
        out.append(kept[i]);
    }
    return out.empty() ? "." : out;
}

bool leaves_directory(std::string_view name) {
    if (!name.empty() && name[0] == '/') return true;
    bool up = false;
    each_part(name, [&](std::string_view part) { up = up || part == ".."; });
    return up;
}

}  // namespace plexaro::sandbox
