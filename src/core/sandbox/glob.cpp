#include "sandbox/glob.hpp"

#include "sandbox/fsops.hpp"

#include "common/path.hpp"
#include "common/text.hpp"

#include <optional>
#include <utility>

namespace plexaro::sandbox {

namespace {

// Code points as the host sees a file name: an invalid byte becomes
// U+DC80+byte (surrogateescape); a pattern from the host's text may hold a
// lone surrogate ("surrogatepass"), which reads as itself.
std::u32string decode(std::string_view s) {
    return text::code_points_of(s, text::Surrogates::pass);
}

// One element of a compiled pattern.
struct Item {
    enum Kind { literal, any_one, any_run, klass, never } kind;
    char32_t ch = 0;
    bool negated = false;
    std::vector<std::pair<char32_t, char32_t>> ranges = {};  // members as closed ranges
};

// A bracket expression's members, built as the host builds its regular
// expression class: chunks split at range hyphens, empty ranges dropped.
Item compile_class(const std::u32string &pat, std::size_t i, std::size_t j) {
    // pat[i..j) is the text between "[" and "]".
    std::u32string stuff = pat.substr(i, j - i);
    Item item{Item::klass};
    std::vector<std::pair<char32_t, char32_t>> members;
    bool negated = false;
    if (stuff.find(U'-') == std::u32string::npos) {
        if (stuff == U"!") return Item{Item::any_one};
        std::size_t start = 0;
        if (!stuff.empty() && stuff[0] == U'!') {
            negated = true;
            start = 1;
        }
        for (std::size_t k = start; k < stuff.size(); ++k) members.push_back({stuff[k], stuff[k]});
    } else {
        std::vector<std::u32string> chunks;
        std::size_t from = i;
        std::size_t k = pat[i] == U'!' ? i + 2 : i + 1;
        while (true) {
            std::size_t hyphen = std::u32string::npos;
            for (std::size_t q = k; q < j; ++q)
                if (pat[q] == U'-') {
                    hyphen = q;
                    break;
                }
            if (hyphen == std::u32string::npos) break;
            chunks.push_back(pat.substr(from, hyphen - from));
            from = hyphen + 1;
            k = hyphen + 3;
        }
        std::u32string last = pat.substr(from, j - from);
        if (!last.empty())
            chunks.push_back(last);
        else
            chunks.back() += U'-';
        for (std::size_t q = chunks.size() - 1; q > 0; --q) {
            if (chunks[q - 1].back() > chunks[q][0]) {
                chunks[q - 1] =
                    chunks[q - 1].substr(0, chunks[q - 1].size() - 1) + chunks[q].substr(1);
                chunks.erase(chunks.begin() + q);
            }
        }
        // Joined with "-": the last character of one chunk and the first of
        // the next form a range; every other character stands for itself.
        std::u32string flat;
        for (auto &c : chunks) flat += c;
        if (flat.empty()) return Item{Item::never};
        if (flat == U"!") return Item{Item::any_one};
        std::size_t skip = 0;
        if (chunks[0][0] == U'!') {
            negated = true;
            skip = 1;
        }
        for (std::size_t c = 0; c < chunks.size(); ++c) {
            const std::u32string &chunk = chunks[c];
            std::size_t begin = (c == 0) ? skip : 1;  // a later chunk opens with a range end
            std::size_t end = (c + 1 < chunks.size()) ? chunk.size() - 1 : chunk.size();
            for (std::size_t q = begin; q < end; ++q) members.push_back({chunk[q], chunk[q]});
            if (c + 1 < chunks.size()) {
                members.push_back({chunk.back(), chunks[c + 1][0]});
            }
        }
    }
    item.negated = negated;
    item.ranges = std::move(members);
    return item;
}

std::vector<Item> compile(const std::u32string &pat) {
    std::vector<Item> items;
    std::size_t i = 0, n = pat.size();
    while (i < n) {
        char32_t c = pat[i++];
        if (c == U'*') {
            if (items.empty() || items.back().kind != Item::any_run)
                items.push_back(Item{Item::any_run});
        } else if (c == U'?') {
            items.push_back(Item{Item::any_one});
        } else if (c == U'[') {
            std::size_t j = i;
            if (j < n && pat[j] == U'!') ++j;
            if (j < n && pat[j] == U']') ++j;
            while (j < n && pat[j] != U']') ++j;
            if (j >= n) {
                items.push_back(Item{Item::literal, U'['});
            } else {
                items.push_back(compile_class(pat, i, j));
                i = j + 1;
            }
        } else {
            items.push_back(Item{Item::literal, c});
        }
    }
    return items;
}

bool matches_one(const Item &item, char32_t c) {
    switch (item.kind) {
    case Item::literal: return c == item.ch;
    case Item::any_one: return true;
    case Item::never: return false;
    case Item::klass: {
        bool in = false;
        for (auto [lo, hi] : item.ranges)
            if (c >= lo && c <= hi) {
                in = true;
                break;
            }
        return in != item.negated;
    }
    default: return false;
    }
}

bool match(const std::vector<Item> &items, const std::u32string &name) {
    // Greedy star matching with one backtrack point.
    std::size_t p = 0, s = 0;
    std::optional<std::pair<std::size_t, std::size_t>> star;
    while (s < name.size()) {
        if (p < items.size() && items[p].kind == Item::any_run) {
            star = {p, s};
            ++p;
        } else if (p < items.size() && matches_one(items[p], name[s])) {
            ++p;
            ++s;
        } else if (star) {
            p = star->first + 1;
            s = ++star->second;
        } else {
            return false;
        }
    }
    while (p < items.size() && items[p].kind == Item::any_run) ++p;
    return p == items.size();
}

bool has_magic(std::string_view s) { return s.find_first_of("*?[") != std::string_view::npos; }

std::pair<std::string, std::string> split_path(std::string_view p) {
    std::size_t slash = p.rfind('/');
    if (slash == std::string_view::npos) return {"", std::string(p)};
    std::string_view head = p.substr(0, slash + 1), tail = p.substr(slash + 1);
    // Trailing slashes of the head go, unless it is nothing but slashes.
    std::string_view trimmed = head;
    while (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
    return {std::string(trimmed.empty() ? head : trimmed), std::string(tail)};
}

using files::join_path;

std::vector<std::string> in_dir(const std::string &dir, const std::string &pattern, bool dirs_only);

std::vector<std::string> glob_rel(const std::string &root, std::string_view pattern,
                                  bool dirs_only) {
    auto [dirname, basename] = split_path(pattern);
    if (!has_magic(pattern)) {
        if (!basename.empty()) {
            if (lexists(join_path(root, std::string(pattern)))) return {std::string(pattern)};
        } else if (is_dir(join_path(root, dirname))) {
            return {std::string(pattern)};
        }
        return {};
    }
    if (dirname.empty()) return in_dir(root, basename, dirs_only);
    std::vector<std::string> dirs;
    if (dirname != pattern && has_magic(dirname))
        dirs = glob_rel(root, dirname, true);
    else
        dirs = {dirname};
    std::vector<std::string> out;
    for (const std::string &d : dirs) {
        std::string full = join_path(root, d);
        if (has_magic(basename)) {
            for (auto &name : in_dir(full, basename, dirs_only)) out.push_back(join_path(d, name));
        } else if (basename.empty() ? is_dir(full) : lexists(join_path(full, basename))) {
            out.push_back(join_path(d, basename));
        }
    }
    return out;
}

}  // namespace

struct NamePattern::Compiled {
    std::vector<Item> items;
};

NamePattern::NamePattern(std::string_view pattern)
    : hidden_ok_(!pattern.empty() && pattern[0] == '.') {
    // "name*" without other wildcards (slot names mostly are plain) is a
    // prefix test on the bytes; anything else is matched character-wise.
    std::string_view stem = pattern;
    while (!stem.empty() && stem.back() == '*') stem.remove_suffix(1);
    if (stem.size() < pattern.size() && !has_magic(stem))
        prefix_ = stem;
    else
        compiled_ = std::make_unique<Compiled>(Compiled{compile(decode(pattern))});
}

// Defined here, where Compiled is complete.
NamePattern::~NamePattern() = default;
NamePattern::NamePattern(NamePattern &&) noexcept = default;
NamePattern &NamePattern::operator=(NamePattern &&) noexcept = default;

bool NamePattern::matches(std::string_view name) const {
    if (!hidden_ok_ && !name.empty() && name[0] == '.') return false;
    if (!compiled_) return name.substr(0, prefix_.size()) == prefix_;
    return match(compiled_->items, decode(name));
}

namespace {

std::vector<std::string> in_dir(const std::string &dir, const std::string &pattern,
                                bool dirs_only) {
    std::vector<DirEntry> entries;
    try {
        entries = list_dir_typed(dir.empty() ? std::string(".") : dir);
    } catch (const FsError &) {
        return {};
    }
    NamePattern match(pattern);
    std::vector<std::string> out;
    for (const DirEntry &e : entries) {
        if (!match.matches(e.name)) continue;
        if (dirs_only && !is_dir(dir.empty() ? std::string(".") : dir, e)) continue;
        out.push_back(e.name);
    }
    return out;
}

}  // namespace

bool fnmatch(std::string_view name, std::string_view pattern) {
    return match(compile(decode(pattern)), decode(name));
}

std::vector<std::string> glob_in(const std::string &root, std::string_view pattern) {
    return glob_rel(root, pattern, false);
}

}  // namespace plexaro::sandbox
