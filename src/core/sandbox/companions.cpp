#include "sandbox/companions.hpp"

#include "common/index_files.hpp"
#include "common/text.hpp"

namespace plexaro::sandbox {

std::string parse_companion_pattern(std::string_view text, CompanionPattern &out) {
    out = {};
    while (!text.empty() && text.front() == '^') {
        ++out.carets;
        text.remove_prefix(1);
    }
    if (!text.empty() && text.back() == '?') text.remove_suffix(1);
    if (text.empty()) return "it names no suffix";
    if (text.find('/') != std::string_view::npos)
        return "a companion lies beside its file, so it holds no \"/\"";
    if (text.find('\0') != std::string_view::npos) return "it holds a NUL character";
    out.suffix.assign(text);
    return "";
}

std::string_view without_extension(std::string_view name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return name;
    return name.substr(0, dot);
}

std::optional<std::string> companion_name(std::string_view primary,
                                          const CompanionPattern &pattern) {
    std::string_view base = primary;
    for (unsigned i = 0; i < pattern.carets; ++i) base = without_extension(base);
    std::string name(base);
    name += pattern.suffix;
    if (name == primary || name == "." || name == ".." || name.find('/') != std::string::npos)
        return std::nullopt;
    return name;
}

std::vector<CompanionPattern> well_known_patterns(std::string_view primary) {
    std::vector<CompanionPattern> out;
    for (std::string_view suffix : files::kIndexSuffixes) out.push_back({0, std::string(suffix)});
    // htslib also finds x.bai for x.bam (and Picard writes it there).
    if (text::ends_with(primary, ".bam")) out.push_back({1, ".bai"});
    if (text::ends_with(primary, ".cram")) out.push_back({1, ".crai"});
    return out;
}

std::vector<Companion> companions_of(std::string_view primary,
                                     const std::vector<CompanionPattern> &declared) {
    std::vector<Companion> out;
    auto add = [&](const CompanionPattern &p) {
        std::optional<std::string> name = companion_name(primary, p);
        if (!name) return;
        for (const Companion &c : out)
            if (c.name == *name) return;
        out.push_back({std::move(*name), p});
    };
    for (const CompanionPattern &p : declared) add(p);
    for (const CompanionPattern &p : well_known_patterns(primary)) add(p);
    return out;
}

std::vector<CompanionDelivery> companion_deliveries(
    std::string_view primary, std::string_view delivered,
    const std::vector<CompanionPattern> &declared,
    const std::function<bool(const std::string &)> &present) {
    std::vector<CompanionDelivery> out;
    for (Companion &c : companions_of(primary, declared)) {
        if (!present(c.name)) continue;
        std::optional<std::string> to = companion_name(delivered, c.pattern);
        if (!to) continue;
        bool taken = false;
        for (const CompanionDelivery &d : out) taken = taken || d.to == *to;
        if (!taken) out.push_back({std::move(c.name), std::move(*to)});
    }
    return out;
}

std::optional<std::string> suffix_match(std::string_view slot,
                                        const std::vector<std::string> &names) {
    if (slot.empty()) return std::nullopt;
    std::string tail = "." + std::string(slot);
    const std::string *found = nullptr;
    for (const std::string &name : names) {
        // Hidden names are left out, as the prefix match leaves them out.
        if (name.size() <= tail.size() || name.front() == '.' || !text::ends_with(name, tail))
            continue;
        if (found) return std::nullopt;
        found = &name;
    }
    if (!found) return std::nullopt;
    return *found;
}

}  // namespace plexaro::sandbox
