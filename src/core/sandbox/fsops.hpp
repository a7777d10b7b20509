// File-system work of a tool run, with the host's copy rules: copies follow
// symbolic links and keep permission bits and timestamps; directories are
// made with their missing parents. Large files are copied in the kernel, or
// put in place as hard links where the caller allows it.
#pragma once

#include "common/listing.hpp"

#include <sys/stat.h>

#include <exception>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::sandbox {

using NameSet = std::set<std::string, std::less<>>;

// One failed operation, kept as the host's OSError is built: error number
// and the file name(s) involved. Two kinds are not plain OS errors: the two
// names are one file, and the source is a named pipe.
struct FsError : std::exception {
    enum class Kind { os, same_file, named_pipe };
    Kind kind = Kind::os;
    int err = 0;
    std::string path;
    std::string path2;
    bool has_path2 = false;

    FsError(int e, std::string p) : err(e), path(std::move(p)) {}
    FsError(int e, std::string p, std::string p2)
        : err(e), path(std::move(p)), path2(std::move(p2)), has_path2(true) {}
    FsError(Kind k, std::string p, std::string p2 = {})
        : kind(k), path(std::move(p)), path2(std::move(p2)), has_path2(!path2.empty()) {}
    const char *what() const noexcept override { return "file-system error"; }
};

// A tree copy goes on past failures and reports them all at the end, as the
// host's shutil.copytree does: (source, target, failure) per entry.
struct TreeCopyFailure {
    std::string src, dst;
    FsError why;
};
struct TreeCopyError : std::exception {
    std::vector<TreeCopyFailure> failures;
    const char *what() const noexcept override { return "tree copy failed"; }
};

bool exists(const std::string &path);   // follows links
bool lexists(const std::string &path);  // the entry itself
bool is_dir(const std::string &path);   // follows links
bool is_file(const std::string &path);  // a regular file, links followed

// mkdir -p with mode 0777 less the umask; an existing directory is fine, an
// existing non-directory is not.
void make_dirs(const std::string &path);
// make_dirs, then exactly mode 0777 whatever the umask.
void make_open_dir(const std::string &path);

// Copies a file's contents, permission bits and timestamps (a target that is
// a directory receives the file under its own name). Reflink, then
// copy_file_range, then plain reads and writes. `confined` copies only a
// source that is itself a regular file (no link followed) and replaces a
// link found at the target instead of writing through it.
void copy_file(const std::string &src, const std::string &dst, bool confined = false);

// How place_file may put a file in place.
struct PlaceRule {
    bool confined = false;  // as for copy_file
    // Whether the source, open and described by `st`, may become a hard
    // link at the target; none or false: copied.
    std::function<bool(const struct stat &)> may_link;
};

struct Placed {
    bool linked = false;
    struct stat source {};  // the source as it was opened
};

// Puts a regular file at `dst`: a hard link when `rule` allows it and both
// lie on one file system (an existing entry at `dst` is replaced in one
// step, never written through); otherwise copy_file's copy, which reflinks
// where the file system can. Errors as for copy_file.
Placed place_file(const std::string &src, const std::string &dst, const PlaceRule &rule);

// Recursive copy of `src` to `dst` (created; with `merge` an existing
// directory is filled in). Links are followed. Throws TreeCopyError after
// trying every entry, FsError when `src` cannot be listed or `dst` made.
void copy_tree(const std::string &src, const std::string &dst, bool merge);

// Entry names of a directory in the order the system lists them.
std::vector<std::string> list_dir(const std::string &path);

// Entries with the type the directory listing reports (DT_* of dirent.h);
// the two tests below follow links, asking the file system only when the
// listing could not tell.
using DirEntry = files::DirEntry;
std::vector<DirEntry> list_dir_typed(const std::string &path);
bool is_file(const std::string &dir, const DirEntry &entry);
bool is_dir(const std::string &dir, const DirEntry &entry);

// Writes (creating or replacing) a file with `data`.
void write_file(const std::string &path, std::string_view data);

// A symbolic link at `link` pointing to `target`; false when the system
// refuses one.
bool make_symlink(const std::string &target, const std::string &link);

// What a removal could not remove: the tree is gone when `complete`; else
// `left_count` entries stayed (a tool running as another user can leave
// entries the caller may not delete), the first few named in `left`,
// relative to the tree's top (directories end in "/").
struct RemovalReport {
    static constexpr std::size_t kNamesKept = 5;
    bool complete = false;
    std::size_t left_count = 0;
    std::vector<std::string> left;
};

// Removes a tree without following links, going on past every failure.
RemovalReport remove_tree(const std::string &path) noexcept;

}  // namespace plexaro::sandbox
