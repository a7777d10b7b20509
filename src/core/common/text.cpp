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
        if (!is_continuation((unsigned char)utf8[i])) {
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
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
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

namespace plexaro::text {

Utf8Status decode_utf8(std::string_view text, std::size_t pos, char32_t &cp, std::size_t &length,
                       Surrogates surrogates) {
    auto byte = [&](std::size_t i) { return (unsigned char)text[i]; };
    unsigned char lead = byte(pos);
    if (lead < 0x80) {
        cp = lead;
        length = 1;
        return Utf8Status::ok;
    }
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        cp = lead & 0x0F;
        if (lead == 0xE0) lo = 0xA0;  // overlong
        if (lead == 0xED && surrogates == Surrogates::reject) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        cp = lead & 0x07;
        if (lead == 0xF0) lo = 0x90;  // overlong
        if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return Utf8Status::invalid;
    }
    for (std::size_t k = 1; k < need; ++k) {
        if (pos + k >= text.size()) return Utf8Status::truncated;
        unsigned char c = byte(pos + k);
        unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
        if (c < min || c > max) return Utf8Status::invalid;
        cp = (cp << 6) | (c & 0x3F);
    }
    length = need;
    return Utf8Status::ok;
}

bool valid_utf8(std::string_view text) {
    char32_t cp;
    std::size_t length;
    for (std::size_t i = 0; i < text.size(); i += length)
        if (decode_utf8(text, i, cp, length) != Utf8Status::ok) return false;
    return true;
}

char32_t next_code_point(std::string_view text, std::size_t &pos, Surrogates surrogates) {
    char32_t cp;
    std::size_t length;
    if (decode_utf8(text, pos, cp, length, surrogates) == Utf8Status::ok) {
        pos += length;
        return cp;
    }
    return 0xDC00 + (unsigned char)text[pos++];
}

std::u32string code_points_of(std::string_view text, Surrogates surrogates) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();)
        out.push_back(next_code_point(text, pos, surrogates));
    return out;
}

bool is_unicode_space(char32_t cp) {
    switch (cp) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x1C:
    case 0x1D:
    case 0x1E:
    case 0x1F:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000: return true;
    default: return cp >= 0x2000 && cp <= 0x200A;
    }
}

bool is_line_break(char32_t cp) {
    switch (cp) {
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x1C:
    case 0x1D:
    case 0x1E:
    case 0x85:
    case 0x2028:
    case 0x2029: return true;
    default: return false;
    }
}

std::string_view rstrip_unicode_whitespace(std::string_view utf8) {
    std::size_t end = utf8.size();
    while (end > 0) {
        // The last character starts at most three continuation bytes back;
        // when no whole sequence ends exactly at `end`, its last byte stands
        // alone and is not white space. (A forward reading reaches the same
        // start: a lead byte is never inside an earlier sequence.)
        std::size_t start = end - 1;
        while (start > 0 && end - start < 4 && ((unsigned char)utf8[start] & 0xC0) == 0x80) --start;
        std::size_t pos = start;
        char32_t cp = next_code_point(utf8, pos, Surrogates::pass);
        if (pos != end || !is_unicode_space(cp)) break;
        end = start;
    }
    return utf8.substr(0, end);
}

std::string_view strip_unicode_whitespace(std::string_view utf8) {
    std::size_t begin = 0;
    while (begin < utf8.size()) {
        std::size_t pos = begin;
        // Surrogates and escaped bytes are never white space.
        if (!is_unicode_space(next_code_point(utf8, pos, Surrogates::pass))) break;
        begin = pos;
    }
    return rstrip_unicode_whitespace(utf8.substr(begin));
}

std::vector<std::string_view> split_lines(std::string_view utf8) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t pos = 0; pos < utf8.size();) {
        std::size_t at = pos;
        char32_t cp = next_code_point(utf8, pos, Surrogates::pass);
        if (!is_line_break(cp)) continue;
        lines.push_back(utf8.substr(start, at - start));
        if (cp == 0x0D && pos < utf8.size() && utf8[pos] == '\n') ++pos;
        start = pos;
    }
    if (start < utf8.size()) lines.push_back(utf8.substr(start));
    return lines;
}

}  // namespace plexaro::text
