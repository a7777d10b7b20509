#include "sandbox/fsops.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>

namespace plexaro::sandbox {

namespace {

std::string child(const std::string &dir, std::string_view name) {
    std::string out = dir;
    if (out.empty() || out.back() != '/') out += '/';
    out.append(name);
    return out;
}

std::string_view base_name(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool write_all(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        ssize_t w = ::write(fd, data, size);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        size -= (std::size_t) w;
    }
    return true;
}

// Plain reads and writes from the current offsets; errno set on failure.
bool copy_by_reading(int in, int out) {
    constexpr std::size_t kBuffer = 1 << 20;
    std::unique_ptr<char[]> buffer(new char[kBuffer]);
    while (true) {
        ssize_t r = ::read(in, buffer.get(), kBuffer);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return true;
        if (!write_all(out, buffer.get(), (std::size_t) r)) return false;
    }
}

// Kernel copy of the whole file; falls back to reading when the kernel
// cannot copy between these two files. errno set on failure.
bool copy_contents(int in, int out, off_t size) {
    if (size > 0 && ::ioctl(out, FICLONE, in) == 0) return true;
    bool copied_any = false;
    while (true) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n > 0) {
            copied_any = true;
            continue;
        }
        if (n == 0) {
            // Files that report no size (some pseudo files) copy nothing in
            // the kernel: read them instead.
            if (!copied_any) return copy_by_reading(in, out);
            return true;
        }
        if (errno == EINTR) continue;
        if (!copied_any && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                            errno == EINVAL || errno == EBADF || errno == EPERM))
            return copy_by_reading(in, out);
        return false;
    }
}

}  // namespace

bool exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}
bool lexists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}
bool is_dir(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool is_file(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void make_dirs(const std::string &path) {
    if (path.empty()) throw FsError(ENOENT, path);
    if (::mkdir(path.c_str(), 0777) == 0) return;
    int e = errno;
    if (e == EEXIST) {
        if (is_dir(path)) return;
        throw FsError(EEXIST, path);
    }
    if (e != ENOENT) {
        if (is_dir(path)) return;
        throw FsError(e, path);
    }
    std::string_view trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
    std::size_t slash = trimmed.rfind('/');
    if (slash != std::string_view::npos && slash > 0) {
        std::string parent(trimmed.substr(0, slash));
        if (!is_dir(parent)) make_dirs(parent);
    }
    if (::mkdir(path.c_str(), 0777) != 0) {
        e = errno;
        if (e == EEXIST && is_dir(path)) return;
        throw FsError(e, path);
    }
}

void make_open_dir(const std::string &path) {
    make_dirs(path);
    if (::chmod(path.c_str(), 0777) != 0) throw FsError(errno, path);
}

void copy_file(const std::string &src, const std::string &dst_given) {
    std::string dst = is_dir(dst_given) ? child(dst_given, base_name(src)) : dst_given;

    struct stat sst;
    if (::stat(src.c_str(), &sst) != 0) throw FsError(errno, src);
    if (S_ISFIFO(sst.st_mode)) throw FsError(FsError::Kind::named_pipe, src);
    struct stat dstat;
    if (::stat(dst.c_str(), &dstat) == 0) {
        if (dstat.st_dev == sst.st_dev && dstat.st_ino == sst.st_ino)
            throw FsError(FsError::Kind::same_file, src, dst);
        if (S_ISFIFO(dstat.st_mode)) throw FsError(FsError::Kind::named_pipe, dst);
    }

    Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) throw FsError(errno, src);
    if (::fstat(in.fd, &sst) != 0) throw FsError(errno, src);
    Fd out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (out.fd < 0) throw FsError(errno, dst);
    if (!copy_contents(in.fd, out.fd, sst.st_size)) throw FsError(errno, src, dst);

    // Timestamps after the last write, then the permission bits.
    struct timespec times[2] = {sst.st_atim, sst.st_mtim};
    if (::futimens(out.fd, times) != 0) throw FsError(errno, dst);
    if (::fchmod(out.fd, sst.st_mode & 07777) != 0) throw FsError(errno, dst);
    if (::close(out.fd) != 0) {
        out.fd = -1;
        throw FsError(errno, dst);
    }
    out.fd = -1;
}

std::vector<std::string> list_dir(const std::string &path) {
    DIR *dir = ::opendir(path.c_str());
    if (!dir) throw FsError(errno, path);
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent *entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
        errno = 0;
    }
    int e = errno;
    ::closedir(dir);
    if (e != 0) throw FsError(e, path);
    return names;
}

void copy_tree(const std::string &src, const std::string &dst, bool merge) {
    std::vector<std::string> names = list_dir(src);
    if (merge) {
        make_dirs(dst);
    } else {
        // Like the host's os.makedirs(dst): an existing target is an error.
        if (lexists(dst)) throw FsError(EEXIST, dst);
        make_dirs(dst);
    }
    TreeCopyError errors;
    for (const std::string &name : names) {
        std::string s = child(src, name), d = child(dst, name);
        try {
            if (is_dir(s)) copy_tree(s, d, merge);
            else copy_file(s, d);
        } catch (TreeCopyError &nested) {
            for (auto &f : nested.failures) errors.failures.push_back(std::move(f));
        } catch (FsError &e) {
            errors.failures.push_back({s, d, std::move(e)});
        }
    }
    struct stat st;
    if (::stat(src.c_str(), &st) != 0) {
        errors.failures.push_back({src, dst, FsError(errno, src)});
    } else {
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (::utimensat(AT_FDCWD, dst.c_str(), times, 0) != 0)
            errors.failures.push_back({src, dst, FsError(errno, dst)});
        else if (::chmod(dst.c_str(), st.st_mode & 07777) != 0)
            errors.failures.push_back({src, dst, FsError(errno, dst)});
    }
    if (!errors.failures.empty()) throw errors;
}

void write_file(const std::string &path, std::string_view data) {
    Fd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (out.fd < 0) throw FsError(errno, path);
    if (!write_all(out.fd, data.data(), data.size())) throw FsError(errno, path);
    int fd = out.fd;
    out.fd = -1;
    if (::close(fd) != 0) throw FsError(errno, path);
}

bool make_symlink(const std::string &target, const std::string &link) {
    return ::symlink(target.c_str(), link.c_str()) == 0;
}

void remove_tree(const std::string &path) noexcept {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        ::unlink(path.c_str());
        return;
    }
    std::vector<std::string> names;
    try {
        names = list_dir(path);
    } catch (...) {
    }
    for (const std::string &name : names) remove_tree(child(path, name));
    ::rmdir(path.c_str());
}

}  // namespace plexaro::sandbox
