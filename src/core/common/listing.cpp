#include "common/listing.hpp"

#include <cerrno>
#include <memory>
#include <string_view>

#include <dirent.h>
#include <unistd.h>

namespace plexaro::files {

namespace {

int read_all(DIR *dir, std::vector<DirEntry> &entries) {
    std::unique_ptr<DIR, int (*)(DIR *)> closed_on_return(dir, ::closedir);
    entries.clear();
    errno = 0;
    while (struct dirent *entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") entries.push_back({std::string(name), entry->d_type});
        errno = 0;
    }
    return errno;
}

}  // namespace

int list_directory(const std::string &path, std::vector<DirEntry> &entries) {
    DIR *dir = ::opendir(path.c_str());
    if (!dir) {
        entries.clear();
        return errno;
    }
    return read_all(dir, entries);
}

int list_directory(int dir_fd, std::vector<DirEntry> &entries) {
    DIR *dir = ::fdopendir(dir_fd);
    if (!dir) {
        int error = errno;
        ::close(dir_fd);
        entries.clear();
        return error;
    }
    return read_all(dir, entries);
}

}  // namespace plexaro::files
