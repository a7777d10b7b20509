#include "sandbox/fsops.hpp"

#include "common/files.hpp"
#include "common/path.hpp"
#include "common/unique_fd.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace plexaro::sandbox {

namespace {

std::string_view base_name(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

using files::write_all;

constexpr off_t kKernelCopyFrom = 256 << 10;

// Plain reads and writes from the current offsets; errno set on failure. A
// short read that completes the size a regular file reported is its end
// (pseudo files report no size and are read until nothing comes).
bool copy_by_reading(int in, int out, off_t size, bool regular) {
    off_t total = 0;
    constexpr std::size_t kBuffer = 1 << 20;
    thread_local std::unique_ptr<char[]> buffer(new char[kBuffer]);
    while (true) {
        ssize_t r = ::read(in, buffer.get(), kBuffer);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) return true;
        if (!write_all(out, std::string_view(buffer.get(), (std::size_t)r))) return false;
        total += r;
        if (regular && size > 0 && total >= size && (std::size_t)r < kBuffer) return true;
    }
}

// Kernel copy of the whole file; falls back to reading when the kernel
// cannot copy between these two files. errno set on failure.
bool copy_contents(int in, int out, off_t size, bool regular) {
    // Small files: one read and one write beat setting up a kernel copy.
    if (size < kKernelCopyFrom) return copy_by_reading(in, out, size, regular);
    if (::ioctl(out, FICLONE, in) == 0) return true;
    // Reserving the blocks up front spares the file system growing the file
    // extent by extent; the size still grows only with what is written.
    ::fallocate(out, FALLOC_FL_KEEP_SIZE, 0, size);
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
            if (!copied_any) return copy_by_reading(in, out, size, regular);
            return true;
        }
        if (errno == EINTR) continue;
        if (!copied_any && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                            errno == EINVAL || errno == EBADF || errno == EPERM))
            return copy_by_reading(in, out, size, regular);
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

namespace {

// The source of a copy or a link, open for reading. Non-blocking: a named
// pipe is reported instead of waiting for a peer that never comes.
files::UniqueFd open_source(const std::string &src, bool confined, struct stat &sst) {
    const int no_follow = confined ? O_NOFOLLOW : 0;
    files::UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | no_follow));
    if (!in.valid()) throw FsError(errno, src);
    if (::fstat(in.get(), &sst) != 0) throw FsError(errno, src);
    if (S_ISFIFO(sst.st_mode)) throw FsError(FsError::Kind::named_pipe, src);
    if (S_ISDIR(sst.st_mode)) throw FsError(EISDIR, src);
    if (confined && !S_ISREG(sst.st_mode)) throw FsError(EINVAL, src);
    return in;
}

// The copy of the open source `in` (described by `sst`) at `dst_given`.
void copy_open(int in, const struct stat &sst, const std::string &src, const std::string &dst_given,
               bool confined) {
    // Created with the source's permission bits, so usually no chmod is
    // needed afterwards; not truncated until it is known not to be the source.
    const int no_follow = confined ? O_NOFOLLOW : 0;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | no_follow;
    std::string dst = dst_given;
    int out_fd = ::open(dst.c_str(), flags, sst.st_mode & 0777);
    if (out_fd < 0 && confined && errno == ELOOP) {
        // A link where the copy goes is replaced, never written through.
        if (::unlink(dst.c_str()) != 0) throw FsError(errno, dst);
        out_fd = ::open(dst.c_str(), flags, sst.st_mode & 0777);
    }
    if (out_fd < 0 && errno == EISDIR) {  // a directory receives the file under its own name
        dst = files::join_path(dst_given, base_name(src));
        out_fd = ::open(dst.c_str(), flags, sst.st_mode & 0777);
    }
    if (out_fd < 0) {
        int e = errno;
        struct stat st;
        if (e == ENXIO && ::stat(dst.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
            throw FsError(FsError::Kind::named_pipe, dst);
        throw FsError(e, dst);
    }
    files::UniqueFd out(out_fd);
    struct stat dst_st;
    if (::fstat(out.get(), &dst_st) != 0) throw FsError(errno, dst);
    if (dst_st.st_dev == sst.st_dev && dst_st.st_ino == sst.st_ino)
        throw FsError(FsError::Kind::same_file, src, dst);
    if (S_ISFIFO(dst_st.st_mode)) throw FsError(FsError::Kind::named_pipe, dst);
    if (dst_st.st_size > 0 && ::ftruncate(out.get(), 0) != 0) throw FsError(errno, dst);
    if (!copy_contents(in, out.get(), sst.st_size, S_ISREG(sst.st_mode)))
        throw FsError(errno, src, dst);

    // Timestamps after the last write, then the permission bits.
    struct timespec times[2] = {sst.st_atim, sst.st_mtim};
    if (::futimens(out.get(), times) != 0) throw FsError(errno, dst);
    if ((dst_st.st_mode & 07777) != (sst.st_mode & 07777) &&
        ::fchmod(out.get(), sst.st_mode & 07777) != 0)
        throw FsError(errno, dst);
    if (!out.close()) throw FsError(errno, dst);
}

// A temporary name beside `path` for a link renamed over it afterwards
// (the naming of files::create_temp_beside).
std::string temp_name_beside(const std::string &path) {
    std::string_view name = base_name(path);
    std::string dir(path.data(), path.size() - name.size());
    return dir + "." + std::string(name.substr(0, 200)) + "." + files::random_hex(6) + ".tmp";
}

// `dst` as a new name of the open source (described by `sst`), replacing
// a file or link there in one step; false when no link could be made (the
// caller copies instead). A directory at `dst` receives it under its own name.
bool link_open(const struct stat &sst, const std::string &src, std::string dst, bool confined) {
    struct stat there;
    bool taken = ::lstat(dst.c_str(), &there) == 0;
    if (taken && S_ISDIR(there.st_mode)) {
        dst = files::join_path(dst, base_name(src));
        taken = ::lstat(dst.c_str(), &there) == 0;
        if (taken && S_ISDIR(there.st_mode)) return false;
    }
    if (taken && there.st_dev == sst.st_dev && there.st_ino == sst.st_ino)
        throw FsError(FsError::Kind::same_file, src, dst);
    // A confined source is linked as the entry itself, never through a link.
    const int follow = confined ? 0 : AT_SYMLINK_FOLLOW;
    std::string at = taken ? temp_name_beside(dst) : dst;
    if (::linkat(AT_FDCWD, src.c_str(), AT_FDCWD, at.c_str(), follow) != 0) {
        if (errno != EEXIST || taken) return false;
        at = temp_name_beside(dst);  // made meanwhile: replaced like any file there
        taken = true;
        if (::linkat(AT_FDCWD, src.c_str(), AT_FDCWD, at.c_str(), follow) != 0) return false;
    }
    // Only the file that was opened and judged may be linked: a source
    // replaced in between is copied instead.
    struct stat made;
    if (::lstat(at.c_str(), &made) != 0 || made.st_dev != sst.st_dev || made.st_ino != sst.st_ino ||
        (taken && ::rename(at.c_str(), dst.c_str()) != 0)) {
        ::unlink(at.c_str());
        return false;
    }
    return true;
}

}  // namespace

void copy_file(const std::string &src, const std::string &dst, bool confined) {
    struct stat sst;
    files::UniqueFd in = open_source(src, confined, sst);
    copy_open(in.get(), sst, src, dst, confined);
}

Placed place_file(const std::string &src, const std::string &dst, const PlaceRule &rule) {
    Placed placed;
    files::UniqueFd in = open_source(src, rule.confined, placed.source);
    if (S_ISREG(placed.source.st_mode) && rule.may_link && rule.may_link(placed.source) &&
        link_open(placed.source, src, dst, rule.confined)) {
        placed.linked = true;
        return placed;
    }
    copy_open(in.get(), placed.source, src, dst, rule.confined);
    return placed;
}

std::vector<DirEntry> list_dir_typed(const std::string &path) {
    std::vector<DirEntry> entries;
    if (int error = files::list_directory(path, entries)) throw FsError(error, path);
    return entries;
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    for (DirEntry &entry : list_dir_typed(path)) names.push_back(std::move(entry.name));
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
        std::string s = files::join_path(src, name), d = files::join_path(dst, name);
        try {
            if (is_dir(s))
                copy_tree(s, d, merge);
            else
                copy_file(s, d);
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
    files::UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out.valid()) throw FsError(errno, path);
    if (!write_all(out.get(), data)) throw FsError(errno, path);
    if (!out.close()) throw FsError(errno, path);
}

bool make_symlink(const std::string &target, const std::string &link) {
    return ::symlink(target.c_str(), link.c_str()) == 0;
}

namespace {

// Empties the directory open as `fd` (and closes it), working relative to
// it so no path is resolved twice. Entries that cannot be removed are
// recorded under `prefix` (their path relative to the tree's top).
void clear_dir(int fd, const std::string &prefix, RemovalReport &report) noexcept {
    auto left_behind = [&](const std::string &name) {
        ++report.left_count;
        if (report.left.size() < RemovalReport::kNamesKept) report.left.push_back(prefix + name);
    };
    std::vector<DirEntry> entries;
    // What could be listed is removed even when the listing broke off; what
    // stays is reported by the caller's check of the tree.
    files::list_directory(::fcntl(fd, F_DUPFD_CLOEXEC, 0),
                          entries);  // `fd` stays open for the *at calls
    for (auto &[name, type] : entries) {
        bool is_directory = type == DT_DIR;
        if (type == DT_UNKNOWN) {
            struct stat st;
            is_directory =
                ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (is_directory) {
            int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            std::size_t before = report.left_count;
            if (sub >= 0) clear_dir(sub, prefix + name + "/", report);
            // A directory that kept some of its entries is reported through them.
            if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && report.left_count == before)
                left_behind(name + "/");
        } else if (::unlinkat(fd, name.c_str(), 0) != 0) {
            left_behind(name);
        }
    }
    ::close(fd);
}

}  // namespace

RemovalReport remove_tree(const std::string &path) noexcept {
    RemovalReport report;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // Not a directory (or a link to one): remove the entry itself.
        if ((errno == ENOTDIR || errno == ELOOP) && ::unlink(path.c_str()) != 0)
            report.left_count = 1;
    } else {
        clear_dir(fd, "", report);
        ::rmdir(path.c_str());
    }
    struct stat st;
    report.complete = ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
    return report;
}

bool is_file(const std::string &dir, const DirEntry &entry) {
    if (entry.type == DT_REG) return true;
    if (entry.type != DT_LNK && entry.type != DT_UNKNOWN) return false;
    return is_file(files::join_path(dir, entry.name));
}

bool is_dir(const std::string &dir, const DirEntry &entry) {
    if (entry.type == DT_DIR) return true;
    if (entry.type != DT_LNK && entry.type != DT_UNKNOWN) return false;
    return is_dir(files::join_path(dir, entry.name));
}

}  // namespace plexaro::sandbox
