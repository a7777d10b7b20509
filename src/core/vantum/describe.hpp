// The runtime output description: a plain-text picture of what a finished
// step really left on disk, assembled line by line. The host supplies the
// display forms and representations of its own values; everything else
// (which rule describes a value, the walk, the previews, the line texts) is
// decided here.
#pragma once

#include "vantum/look.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::vantum {

inline constexpr std::size_t kDirFiles = 30;
inline constexpr std::size_t kDirPreviewLines = 3;
inline constexpr std::size_t kDirPreviewChars = 200;
inline constexpr std::size_t kFilePreviewLines = 5;
inline constexpr std::size_t kFilePreviewChars = 400;
inline constexpr std::size_t kListShown = 3;
inline constexpr std::size_t kReprChars = 120;
inline constexpr std::chrono::seconds kPreviewTimeout{3};

inline constexpr std::string_view kDefaultHeader = "ACTUAL UPSTREAM OUTPUT at runtime:";

// --- which rule describes a value ------------------------------------------------

// A host value as far as the rules care: a string (with its file-system
// path, or none when it cannot name a file, e.g. it holds a NUL), a list
// (the paths of its leading string elements; a non-string element and all
// after it are left out), or anything else.
struct ValueShape {
    enum class Type { text, list, other } type = Type::other;
    std::vector<std::optional<std::string>> paths;
    std::size_t length = 0;  // elements of a list
};

enum class Rule { directory, file, directory_list, file_list, value };

struct Decision {
    Rule rule = Rule::value;
    std::uint64_t size = 0;  // of the file, for Rule::file
};

// The first rule that applies, looking at the file system (links followed).
Decision choose_rule(const ValueShape &value);

// --- what is read from disk -------------------------------------------------------

struct DirSnapshot {
    std::vector<std::string> files;  // relative, first kDirFiles in order
    std::vector<FileLook> looks;     // one per file
};

// Walks `dir` and looks at the files kept; touches nothing of the host.
DirSnapshot snapshot_dir(const std::string &dir, Clock::duration timeout = kPreviewTimeout,
                         const ReadOps &ops = system_read_ops());

// What a single-file value shows: its look and its companions.
struct FileSnapshot {
    FileLook look;
    std::vector<std::string> companions;
};

FileSnapshot snapshot_file(const std::string &path, Clock::duration timeout = kPreviewTimeout,
                           const ReadOps &ops = system_read_ops());

// --- line texts (all UTF-8) ---------------------------------------------------------
// `label` and `key` are display forms, `*_repr` representations, both from
// the host.

std::string dir_line(std::string_view label, std::string_view dir_repr,
                     std::string_view files_repr);
// The line of a file inside a directory, or nothing when its look found
// neither a format nor a preview.
std::optional<std::string> dir_file_line(std::string_view file_repr, const FileLook &look);
// `format` is empty for plain data.
std::string file_line(std::string_view key, std::string_view path_repr, std::uint64_t size,
                      std::string_view format = {});
std::string companions_line(std::string_view companions_repr);
std::string file_preview_line(std::string_view preview, bool decompressed = false);
std::string dir_list_line(std::string_view key, std::size_t count);
std::string element_label(std::string_view key, std::size_t index);
std::string file_list_line(std::string_view key, std::size_t count, std::string_view shown_repr);
std::string value_line(std::string_view key, std::string_view value_repr);

}  // namespace plexaro::vantum
