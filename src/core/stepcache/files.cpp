#include "stepcache/files.hpp"

#include "sandbox/fsops.hpp"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plexaro::stepcache {

namespace sb = plexaro::sandbox;

FdGuard::~FdGuard() {
    if (fd >= 0) ::close(fd);
}

std::optional<std::string> read_small_file(const std::string &path, std::size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    FdGuard guard(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (std::uint64_t) st.st_size > limit)
        return std::nullopt;
    std::string data((std::size_t) st.st_size, '\0');
    std::size_t got = 0;
    while (got < data.size()) {
        ssize_t r = ::read(fd, data.data() + got, data.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        got += (std::size_t) r;
    }
    return data;
}

namespace {

std::string parent_of(const std::string &path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void write_file_replacing(const std::string &path, std::string_view data) {
    std::string dir = parent_of(path);
    std::string tmp = dir + "/." + path.substr(dir.size() + 1) + "." + unique_suffix() + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ENOENT) {
        sb::make_dirs(dir);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    if (fd < 0) throw sb::FsError(errno, tmp);
    {
        FdGuard guard(fd);
        const char *p = data.data();
        std::size_t left = data.size();
        while (left > 0) {
            ssize_t w = ::write(fd, p, left);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                int e = errno;
                ::unlink(tmp.c_str());
                throw sb::FsError(e, tmp);
            }
            p += w;
            left -= (std::size_t) w;
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        throw sb::FsError(e, tmp, path);
    }
}

std::string unique_suffix() {
    thread_local std::mt19937_64 engine([] {
        std::random_device device;
        return ((std::uint64_t) device() << 32) ^ device() ^ (std::uint64_t) ::getpid();
    }());
    static constexpr char kDigits[] = "0123456789abcdef";
    std::uint64_t v = engine();
    std::string out(16, '0');
    for (int i = 0; i < 16; ++i) out[i] = kDigits[(v >> (4 * i)) & 15];
    return out;
}

std::optional<double> modified_at(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return (double) st.st_mtim.tv_sec + st.st_mtim.tv_nsec / 1e9;
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
