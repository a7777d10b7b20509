#include "common/replace_file.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace plexaro::common {

namespace {

[[noreturn]] void fail(int err, const std::string &what) {
    throw std::system_error(err, std::generic_category(), what);
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix((std::size_t) n);
    }
    return true;
}

}  // namespace

FileIdentity replace_file(const std::string &path, std::string_view bytes, mode_t mode,
                          bool keep_mode) {
    struct stat old {};
    if (::lstat(path.c_str(), &old) == 0) {
        if (S_ISLNK(old.st_mode)) fail(ELOOP, path);
        if (keep_mode) mode = old.st_mode & 07777;
    } else if (errno != ENOENT) {
        fail(errno, path);
    }

    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string name = dir + "." + base + ".XXXXXX.tmp";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    int fd = ::mkstemps(buffer.data(), 4);
    if (fd < 0) fail(errno, name);
    name.assign(buffer.data());

    FileIdentity id;
    struct stat st {};
    int err = 0;
    if (!write_all(fd, bytes) || ::fsync(fd) != 0 || ::fchmod(fd, mode) != 0 || ::fstat(fd, &st) != 0)
        err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(name.c_str(), path.c_str()) != 0) err = errno;
    if (err) {
        ::unlink(name.c_str());
        fail(err, path);
    }
    id.device = (std::uint64_t) st.st_dev;
    id.inode = (std::uint64_t) st.st_ino;
    id.size = (std::uint64_t) st.st_size;
    id.mtime_ns = (std::int64_t) st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    return id;
}

}  // namespace plexaro::common
