#include "stepcache/files.hpp"

#include "common/files.hpp"
#include "common/path.hpp"
#include "sandbox/fsops.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plexaro::stepcache {

namespace sb = plexaro::sandbox;

std::optional<std::string> read_small_file(const std::string &path, std::size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    FdGuard guard(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (std::uint64_t)st.st_size > limit)
        return std::nullopt;
    std::string data((std::size_t)st.st_size, '\0');
    std::size_t got = 0;
    while (got < data.size()) {
        ssize_t r = ::read(fd, data.data() + got, data.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        got += (std::size_t)r;
    }
    return data;
}

void write_file_replacing(const std::string &path, std::string_view data) {
    // Not synced: what is written here only saves work and is checked on use.
    files::ReplaceOptions options;
    options.sync = false;
    try {
        try {
            files::replace_file(path, data, options);
        } catch (const files::PathError &e) {
            if (e.code().value() != ENOENT || sb::is_dir(files::parent_directory(path))) throw;
            sb::make_dirs(files::parent_directory(path));
            files::replace_file(path, data, options);
        }
    } catch (const files::PathError &e) {
        throw sb::FsError(e.code().value(), e.path());
    }
}

std::string unique_suffix() { return files::random_hex(8); }

std::optional<double> modified_at(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return (double)st.st_mtim.tv_sec + st.st_mtim.tv_nsec / 1e9;
}

namespace {

bool ofd_lock(int fd, bool wait) {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    while (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) != 0) {
        if (errno == EINTR) continue;
        if (errno == EINVAL) {
            // No open-file-description locks here: whole-file flock, which
            // also excludes threads holding separate descriptions.
            while (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
                if (errno == EINTR) continue;
                if (errno == EWOULDBLOCK && !wait) return false;
                throw sb::FsError(errno, "lock");
            }
            return true;
        }
        if (!wait && (errno == EAGAIN || errno == EACCES)) return false;
        throw sb::FsError(errno, "lock");
    }
    return true;
}

}  // namespace

void lock_file(int fd) { ofd_lock(fd, true); }
bool try_lock_file(int fd) { return ofd_lock(fd, false); }

}  // namespace plexaro::stepcache
