#include "sandbox/paths.hpp"

namespace plexaro::sandbox {

namespace {

template <typename Fn>
void each_part(std::string_view path, Fn &&fn) {
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
    std::string out;
    std::size_t total = 0;
    for (std::string_view p : parts) total += p.size() + 1;
    out.reserve(total);
    std::size_t root = 0;
    for (std::string_view p : parts) {
        if (!p.empty() && p[0] == '/') {
            // POSIX keeps exactly two leading slashes; one or three and more mean "/".
            out = (p.size() >= 2 && p[1] == '/' && (p.size() == 2 || p[2] != '/')) ? "//" : "/";
            root = out.size();
        }
        each_part(p, [&](std::string_view part) {
            if (out.size() > root) out += '/';
            out.append(part);
        });
    }
    return out.empty() ? "." : out;
}

bool leaves_directory(std::string_view name) {
    if (!name.empty() && name[0] == '/') return true;
    bool up = false;
    each_part(name, [&](std::string_view part) { up = up || part == ".."; });
    return up;
}

std::string flat_name(std::string_view name) {
    std::string out(name);
    for (char &c : out)
        if (c == '/') c = '_';
    return out;
}

std::string relative_path(std::string_view root, std::string_view path) {
    if (root == ".") return std::string(path == "." ? "" : path);
    std::size_t skip = root.size() + (root.back() == '/' ? 0 : 1);
    if (path.size() <= skip || path.substr(0, root.size()) != root) return {};
    return std::string(path.substr(skip));
}

}  // namespace plexaro::sandbox
