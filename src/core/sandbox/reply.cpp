#include "sandbox/reply.hpp"

#include "common/text.hpp"

namespace plexaro::sandbox {

bool is_blank(std::string_view s) { return strip(s).empty(); }

std::string_view clean_reply(std::string_view s) {
    s = strip(s);
    std::size_t lead = 0;
    while (lead < s.size() && s[lead] == '`') ++lead;
    s.remove_prefix(lead);
    std::size_t trail = 0;
    while (trail < s.size() && s[s.size() - 1 - trail] == '`') ++trail;
    s.remove_suffix(trail);
    return strip(s);
}

std::vector<std::string> stripped_lines(std::string_view s) {
    std::vector<std::string> lines;
    for (std::string_view raw : text::split_lines(s)) {
        std::string_view line = strip(raw);
        if (!line.empty()) lines.emplace_back(line);
    }
    return lines;
}

}  // namespace plexaro::sandbox
