#include "vantum/describe.hpp"

#include "common/text.hpp"
#include "vantum/companions.hpp"
#include "vantum/walk.hpp"

#include <sys/stat.h>

namespace plexaro::vantum {

namespace {

enum class Kind { none, directory, file };

Kind kind_of(const std::optional<std::string> &path, std::uint64_t *size = nullptr) {
    struct stat st;
    if (!path || ::stat(path->c_str(), &st) != 0) return Kind::none;
    if (S_ISDIR(st.st_mode)) return Kind::directory;
    if (!S_ISREG(st.st_mode)) return Kind::none;
    if (size) *size = (std::uint64_t)st.st_size;
    return Kind::file;
}

}  // namespace

Decision choose_rule(const ValueShape &value) {
    Decision d;
    if (value.type == ValueShape::Type::text && !value.paths.empty()) {
        // One look at the file answers both tests and gives the size that
        // belongs to what was judged a file.
        switch (kind_of(value.paths[0], &d.size)) {
        case Kind::directory: d.rule = Rule::directory; return d;
        case Kind::file: d.rule = Rule::file; return d;
        case Kind::none: break;
        }
    } else if (value.type == ValueShape::Type::list && value.length > 0) {
        bool all_dirs = value.paths.size() == value.length;
        for (std::size_t i = 0; all_dirs && i < value.paths.size(); ++i)
            all_dirs = kind_of(value.paths[i]) == Kind::directory;
        if (all_dirs) {
            d.rule = Rule::directory_list;
            return d;
        }
        if (!value.paths.empty() && kind_of(value.paths[0]) == Kind::file) {
            d.rule = Rule::file_list;
            return d;
        }
    }
    d.rule = Rule::value;
    return d;
}

DirSnapshot snapshot_dir(const std::string &dir, Clock::duration timeout, const ReadOps &ops) {
    DirSnapshot snap;
    snap.files = list_files(dir, kDirFiles);
    std::vector<LookRequest> requests;
    requests.reserve(snap.files.size());
    for (const std::string &rel : snap.files)
        requests.push_back({join_path(dir, rel), kDirPreviewLines, kDirPreviewChars});
    snap.looks = look_at_files(requests, timeout, ops);
    return snap;
}

FileSnapshot snapshot_file(const std::string &path, Clock::duration timeout, const ReadOps &ops) {
    FileSnapshot snap;
    snap.companions = companions_of(path);
    snap.look =
        look_at_file(path, kFilePreviewLines, kFilePreviewChars, Clock::now() + timeout, ops);
    return snap;
}

std::string dir_line(std::string_view label, std::string_view dir_repr,
                     std::string_view files_repr) {
    std::string line = "  ";
    line.append(label).append(" = ").append(dir_repr);
    line.append("  [directory, files: ").append(files_repr).append("]");
    return line;
}

std::optional<std::string> dir_file_line(std::string_view file_repr, const FileLook &look) {
    if (look.format.empty() && !look.preview) return std::nullopt;
    std::string line = "    ";
    line.append(file_repr).append(": ");
    if (!look.format.empty()) {
        line.append("[").append(look.format).append("]");
        if (look.preview) line.append(" ");
    }
    if (look.preview) line.append(*look.preview);
    return line;
}

std::string file_line(std::string_view key, std::string_view path_repr, std::uint64_t size,
                      std::string_view format) {
    std::string line = "  ";
    line.append(key).append(" = ").append(path_repr);
    line.append("  [file, size: ").append(std::to_string(size)).append(" bytes");
    if (!format.empty()) line.append(", format: ").append(format);
    line.append("]");
    return line;
}

std::string companions_line(std::string_view companions_repr) {
    std::string line = "    companion files: ";
    line.append(companions_repr);
    return line;
}

std::string file_preview_line(std::string_view preview, bool decompressed) {
    std::string line =
        decompressed ? "    first 5 lines (decompressed):\n      " : "    first 5 lines:\n      ";
    line.append(preview);
    return line;
}

std::string dir_list_line(std::string_view key, std::size_t count) {
    std::string line = "  ";
    line.append(key).append(" = list of ").append(std::to_string(count)).append(" directories:");
    return line;
}

std::string element_label(std::string_view key, std::size_t index) {
    std::string label(key);
    label.append("[").append(std::to_string(index)).append("]");
    return label;
}

std::string file_list_line(std::string_view key, std::size_t count, std::string_view shown_repr) {
    std::string line = "  ";
    line.append(key).append(" = list of ").append(std::to_string(count));
    line.append(" files, e.g. ").append(shown_repr);
    return line;
}

std::string value_line(std::string_view key, std::string_view value_repr) {
    std::string line = "  ";
    line.append(key).append(" = ").append(text::cut_code_points(value_repr, kReprChars));
    return line;
}

}  // namespace plexaro::vantum
