#include "engine/cache.hpp"

namespace plexaro::engine {

bool archive_name_stays_inside(std::string_view tool) {
    if (!tool.empty() && tool.front() == '/') return false;
    std::size_t start = 0;
    while (start <= tool.size()) {
        std::size_t end = tool.find('/', start);
        if (end == std::string_view::npos) end = tool.size();
        std::string_view part = tool.substr(start, end - start);
        // The last component carries the ".tar" suffix, so "x/.." names the
        // file "...tar" and stays inside; only whole ".." components climb.
        if (part == ".." && end != tool.size()) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace plexaro::engine
