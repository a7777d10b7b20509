#include "stepcache/key.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace plexaro::stepcache {

std::string step_key(const StepKeyParts &parts) {
    Hasher h;
    // The version changes whenever the meaning of a key does, so entries of
    // an older layout are never taken.
    h.field("plexaro step key 1");
    h.field(parts.tool);
    h.number(parts.manifest.size());
    for (const auto &[entry, text] : parts.manifest) {
        h.field(entry);
        h.field(text);
    }
    h.number(parts.words.size());
    for (const auto &w : parts.words) h.field(w);
    h.number(parts.scalars.size());
    for (const auto &[key, text] : parts.scalars) {
        h.field(key);
        h.field(text);
    }
    h.number(parts.files.size());
    for (const KeyFile &f : parts.files) {
        h.field(f.input);
        h.field(f.staged_name);
        h.number(f.content.high);
        h.number(f.content.low);
    }
    h.number(parts.environment.size());
    for (const auto &[name, value] : parts.environment) {
        h.field(name);
        h.number(value ? 1 : 0);
        if (value) h.field(*value);
    }
    return h.digest().hex();
}

std::vector<std::string> listed_variables(std::string_view list) {
    std::vector<std::string> names;
    std::string current;
    for (char c : list) {
        if (c == ',' || std::isspace((unsigned char)c)) {
            if (!current.empty()) names.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) names.push_back(std::move(current));
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::optional<std::uint64_t> parse_size(std::string_view text) {
    while (!text.empty() && std::isspace((unsigned char)text.front())) text.remove_prefix(1);
    while (!text.empty() && std::isspace((unsigned char)text.back())) text.remove_suffix(1);
    std::size_t digits = 0;
    bool dot = false;
    while (digits < text.size() &&
           (std::isdigit((unsigned char)text[digits]) || (text[digits] == '.' && !dot))) {
        dot = dot || text[digits] == '.';
        ++digits;
    }
    std::string number(text.substr(0, digits));
    if (number.empty() || number == ".") return std::nullopt;
    std::string unit;
    for (char c : text.substr(digits)) unit += (char)std::toupper((unsigned char)c);
    while (!unit.empty() && unit.front() == ' ') unit.erase(0, 1);
    if (unit.size() > 1 && unit.back() == 'B') unit.pop_back();
    if (unit.size() > 1 && unit.back() == 'I') unit.pop_back();
    static constexpr std::pair<const char *, int> kUnits[] = {
        {"", 0}, {"B", 0}, {"K", 10}, {"M", 20}, {"G", 30}, {"T", 40}, {"P", 50}};
    for (const auto &[name, shift] : kUnits) {
        if (unit != name) continue;
        double value = std::strtod(number.c_str(), nullptr) * std::ldexp(1.0, shift);
        if (!std::isfinite(value) || value >= 1.8e19) return std::nullopt;
        return (std::uint64_t)value;
    }
    return std::nullopt;
}

}  // namespace plexaro::stepcache
