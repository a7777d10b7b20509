// Reading a directory: the one readdir loop of the core.
#pragma once

#include <string>
#include <vector>

namespace plexaro::files {

// One entry with the type the listing reports (DT_* of dirent.h; DT_UNKNOWN
// when the file system does not say).
struct DirEntry {
    std::string name;
    unsigned char type;
};

// The entries of the directory at `path` (or open as `dir_fd`, which is
// taken over and closed), "." and ".." left out, in the order the system
// lists them. Returns 0, or the errno of the failure; on a failure while
// reading, `entries` holds what was read before it.
int list_directory(const std::string &path, std::vector<DirEntry> &entries);
int list_directory(int dir_fd, std::vector<DirEntry> &entries);

}  // namespace plexaro::files
