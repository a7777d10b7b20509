#include "stepcache/entry.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace plexaro::stepcache {

namespace {

constexpr std::string_view kHeader = "plexaro step entry 2";
constexpr std::string_view kTrailer = "end";

// Fields are tab-separated; names may hold any byte, so tab, line breaks and
// '%' travel as %XX.
std::string escape(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x20 || c == '%' || c == 0x7f) {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        } else {
            out += (char)c;
        }
    }
    return out;
}

std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        unsigned value = 0;
        auto [end, ec] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
        if (ec != std::errc() || end != text.data() + i + 3) return std::nullopt;
        out += (char)value;
        i += 2;
    }
    return out;
}

std::vector<std::string_view> split_tabs(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(
            start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos) return fields;
        start = tab + 1;
    }
}

template <typename T>
bool number(std::string_view text, T &out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool safe_relative(std::string_view rel) {
    if (rel.empty() || rel.front() == '/') return false;
    std::size_t start = 0;
    while (start <= rel.size()) {
        std::size_t slash = rel.find('/', start);
        std::string_view part = rel.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (part.find('\0') != std::string_view::npos) return false;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return true;
}

std::uint64_t EntryRecord::total_size() const {
    std::uint64_t total = 0;
    for (const EntryFile &f : files) total += f.size;
    return total;
}

std::string format_record(const EntryRecord &r) {
    std::string out(kHeader);
    out += '\n';
    auto line = [&](std::initializer_list<std::string_view> fields) {
        bool first = true;
        for (std::string_view f : fields) {
            if (!first) out += '\t';
            out += f;
            first = false;
        }
        out += '\n';
    };
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%.6f", r.seconds);
    line({"tool", escape(r.tool)});
    line({"started", escape(r.started)});
    line({"ended", escape(r.ended)});
    line({"seconds", seconds});
    for (const auto &w : r.words) line({"word", escape(w)});
    for (const auto &d : r.dirs) line({"dir", escape(d)});
    for (const EntryFile &f : r.files)
        line({"file", std::to_string(f.size), std::to_string(f.inode), std::to_string(f.mtime_ns),
              std::to_string(f.ctime_ns), f.digest.hex(), escape(f.rel)});
    for (const EntrySlot &s : r.slots) {
        line({"slot", escape(s.name)});
        for (const auto &d : s.delivered) line({"delivered", escape(d)});
    }
    if (r.stdout_file) line({"stdout", escape(*r.stdout_file)});
    out += kTrailer;
    out += '\n';
    return out;
}

std::optional<EntryRecord> parse_record(std::string_view text) {
    EntryRecord r;
    std::size_t pos = 0;
    bool header = false, trailer = false;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) return std::nullopt;  // cut short
        std::string_view line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (trailer) return std::nullopt;  // nothing may follow the trailer
        if (!header) {
            if (line != kHeader) return std::nullopt;
            header = true;
            continue;
        }
        if (line == kTrailer) {
            trailer = true;
            continue;
        }
        auto fields = split_tabs(line);
        std::string_view tag = fields[0];
        auto text_field = [&](std::size_t i) -> std::optional<std::string> {
            if (fields.size() != i + 1) return std::nullopt;
            return unescape(fields[i]);
        };
        auto path_field = [&](std::size_t i) -> std::optional<std::string> {
            auto value = text_field(i);
            if (!value || !safe_relative(*value)) return std::nullopt;
            return value;
        };
        if (tag == "tool" || tag == "started" || tag == "ended" || tag == "word") {
            auto value = text_field(1);
            if (!value) return std::nullopt;
            if (tag == "tool")
                r.tool = std::move(*value);
            else if (tag == "started")
                r.started = std::move(*value);
            else if (tag == "ended")
                r.ended = std::move(*value);
            else
                r.words.push_back(std::move(*value));
        } else if (tag == "seconds") {
            if (fields.size() != 2) return std::nullopt;
            std::string value(fields[1]);
            char *end = nullptr;
            r.seconds = std::strtod(value.c_str(), &end);
            if (end != value.c_str() + value.size()) return std::nullopt;
        } else if (tag == "dir") {
            auto value = path_field(1);
            if (!value) return std::nullopt;
            r.dirs.push_back(std::move(*value));
        } else if (tag == "file") {
            EntryFile f;
            auto rel = path_field(6);
            if (!rel || !number(fields[1], f.size) || !number(fields[2], f.inode) ||
                !number(fields[3], f.mtime_ns) || !number(fields[4], f.ctime_ns))
                return std::nullopt;
            auto digest = Digest::from_hex(fields[5]);
            if (!digest) return std::nullopt;
            f.digest = *digest;
            f.rel = std::move(*rel);
            r.files.push_back(std::move(f));
        } else if (tag == "slot") {
            auto value = text_field(1);
            if (!value) return std::nullopt;
            r.slots.push_back({std::move(*value), {}});
        } else if (tag == "delivered") {
            auto value = path_field(1);
            if (!value || r.slots.empty()) return std::nullopt;
            r.slots.back().delivered.push_back(std::move(*value));
        } else if (tag == "stdout") {
            auto value = path_field(1);
            if (!value) return std::nullopt;
            r.stdout_file = std::move(*value);
        } else {
            return std::nullopt;
        }
    }
    if (!trailer) return std::nullopt;
    return r;
}

}  // namespace plexaro::stepcache
