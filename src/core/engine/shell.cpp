#include "engine/shell.hpp"

namespace plexaro::engine {

std::string double_quote_body(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\' || c == '"' || c == '$' || c == '`') out += '\\';
        out += c;
    }
    return out;
}

namespace {
bool plain_shell_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '.' || c == '_' || c == '-' || c == '+' || c == ':' || c == ',' || c == '@' ||
           c == '%';
}
}  // namespace

std::string shell_word(std::string_view text) {
    bool plain = !text.empty();
    for (unsigned char c : text) plain = plain && plain_shell_char(c);
    if (plain) return std::string(text);
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

}  // namespace plexaro::engine
