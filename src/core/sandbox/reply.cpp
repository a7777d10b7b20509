#include "sandbox/reply.hpp"

namespace plexaro::sandbox {

namespace {

// One code point at `pos`, with its length; bytes that do not start a valid
// sequence count as one unknown character (never white space).
char32_t decode(std::string_view s, std::size_t pos, std::size_t &len) {
    unsigned char c = (unsigned char) s[pos];
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra == 0) {
        len = 1;
        return c;
    }
    if (extra < 0 || pos + extra >= s.size()) {
        len = 1;
        return 0xFFFFFFFF;
    }
    char32_t cp = c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        unsigned char cc = (unsigned char) s[pos + k];
        if ((cc & 0xC0) != 0x80) {
            len = 1;
            return 0xFFFFFFFF;
        }
        cp = (cp << 6) | (cc & 0x3F);
    }
    len = 1 + extra;
    return cp;
}

bool is_space(char32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 ||
           cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool is_line_break(char32_t cp) {
    return cp == '\n' || cp == '\r' || cp == 0x0B || cp == 0x0C || (cp >= 0x1C && cp <= 0x1E) ||
           cp == 0x85 || cp == 0x2028 || cp == 0x2029;
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::string_view strip(std::string_view s) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t len;
        if (!is_space(decode(s, begin, len))) break;
        begin += len;
    }
    std::size_t end = s.size();
    while (end > begin) {
        // Step back to the start of the last character.
        std::size_t start = end - 1;
        while (start > begin && is_continuation((unsigned char) s[start]) && end - start < 4)
            --start;
        std::size_t len;
        char32_t cp = decode(s, start, len);
        if (start + len != end) {  // not a whole character: stop at it
            break;
        }
        if (!is_space(cp)) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

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
    std::size_t start = 0, pos = 0;
    auto take = [&](std::size_t end) {
        std::string_view line = strip(s.substr(start, end - start));
        if (!line.empty()) lines.emplace_back(line);
    };
    while (pos < s.size()) {
        std::size_t len;
        char32_t cp = decode(s, pos, len);
        if (is_line_break(cp)) {
            take(pos);
            pos += len;
            if (cp == '\r' && pos < s.size() && s[pos] == '\n') ++pos;
            start = pos;
        } else {
            pos += len;
        }
    }
    if (start < s.size()) take(s.size());
    return lines;
}

}  // namespace plexaro::sandbox
