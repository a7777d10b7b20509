#include "common/text.hpp"

namespace plexaro::text {

namespace {
bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }
}  // namespace

std::size_t code_points(std::string_view utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8)
        if (!is_continuation(c)) ++n;
    return n;
}

std::string_view cut_code_points(std::string_view utf8, std::size_t limit) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (!is_continuation((unsigned char) utf8[i])) {
            if (seen == limit) return utf8.substr(0, i);
            ++seen;
        }
    }
    return utf8;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.substr(text.size() - suffix.size()) == suffix;
}

std::string join(const std::vector<std::string> &words, std::string_view sep) {
    std::string out;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i) out.append(sep);
        out.append(words[i]);
    }
    return out;
}

}  // namespace plexaro::text
