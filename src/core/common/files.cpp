#include "common/files.hpp"

#include "common/listing.hpp"
#include "common/path.hpp"
#include "common/unique_fd.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plexaro::files {

namespace {

[[noreturn]] void fail(const std::string &path, const char *action) {
    int err = errno;
    throw PathError(err, path, std::string(action) + " " + path);
}

// Locks this thread holds: path -> (descriptor, depth).
struct HeldLock {
    int fd;
    int depth;
};
thread_local std::map<std::string, HeldLock> held_locks;

std::string directory_of(const std::string &path) { return parent_directory(path); }

std::string name_of(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

constexpr std::size_t kTempHexBytes = 6;  // 12 hex digits
// A temporary's name keeps at most this much of its target's name, so it
// stays within the file system's name limit (255 bytes) for any target.
constexpr std::size_t kTargetNameKept = 200;

// Missing parents get the usual permissions (0777 less the umask).
void make_parents(const std::string &dir) {
    struct stat st;
    if (dir == "/" || dir == "." || ::stat(dir.c_str(), &st) == 0) return;
    make_parents(directory_of(dir));
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) fail(dir, "cannot create directory");
}

}  // namespace

ExclusiveFileLock::ExclusiveFileLock(std::string lock_path) : path_(std::move(lock_path)) {
    auto held = held_locks.find(path_);
    if (held != held_locks.end()) {
        ++held->second.depth;
        return;
    }
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    // A lock file made by another user may be read-only to us; a shared lock
    // needs no write access.
    if (fd < 0 && errno == EACCES) fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) fail(path_, "cannot open lock file");
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        int err = errno;
        ::close(fd);
        errno = err;
        fail(path_, "cannot lock");
    }
    held_locks.emplace(path_, HeldLock{fd, 1});
}

ExclusiveFileLock::~ExclusiveFileLock() {
    auto held = held_locks.find(path_);
    if (held == held_locks.end()) return;
    if (--held->second.depth > 0) return;
    ::flock(held->second.fd, LOCK_UN);
    ::close(held->second.fd);
    held_locks.erase(held);
}

TempFile create_temp_beside(const std::string &target, unsigned mode) {
    std::string dir = directory_of(target), name = name_of(target).substr(0, kTargetNameKept);
    for (int attempt = 0;; ++attempt) {
        std::string path = dir + "/." + name + "." + random_hex(kTempHexBytes) + ".tmp";
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                        static_cast<mode_t>(mode));
        if (fd >= 0) return TempFile{fd, path};
        if (errno != EEXIST || attempt >= 8) fail(path, "cannot create temporary file");
    }
}

std::string random_hex(std::size_t bytes) {
    unsigned char raw[16];
    std::size_t got = 0;
    while (got < bytes) {
        ssize_t n = getrandom(raw + got, bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes; ++i) {
        out += digits[raw[i] >> 4];
        out += digits[raw[i] & 15];
    }
    return out;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void replace_into_place(const std::string &temp, const std::string &target) {
    if (::rename(temp.c_str(), target.c_str()) != 0) fail(target, "cannot rename into");
}

FileIdentity replace_file(const std::string &target, std::string_view bytes,
                          const ReplaceOptions &options) {
    std::optional<unsigned> mode = options.mode;
    struct stat old {};
    if (::lstat(target.c_str(), &old) == 0) {
        if (S_ISLNK(old.st_mode)) {
            errno = ELOOP;
            fail(target, "refusing to replace a symbolic link at");
        }
        if (options.keep_mode) mode = old.st_mode & 07777;
    } else if (errno != ENOENT) {
        fail(target, "cannot inspect");
    }

    TempFile temp = create_temp_beside(target, mode ? 0600 : 0666);
    UniqueFd fd(temp.fd);
    struct stat st {};
    bool written = write_all(fd.get(), bytes) && (!options.sync || ::fsync(fd.get()) == 0) &&
                   (!mode || ::fchmod(fd.get(), static_cast<mode_t>(*mode)) == 0) &&
                   ::fstat(fd.get(), &st) == 0;
    if (!written || !fd.close()) {
        int err = errno;
        ::unlink(temp.path.c_str());
        errno = err;
        fail(target, "cannot write");
    }
    try {
        replace_into_place(temp.path, target);
    } catch (const PathError &) {
        ::unlink(temp.path.c_str());
        throw;
    }
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev),
                        static_cast<std::uint64_t>(st.st_ino),
                        static_cast<std::uint64_t>(st.st_size), nanoseconds(st.st_mtim)};
}

FileIdentity append_file(const std::string &target, std::string_view bytes, bool sync) {
    UniqueFd fd(::open(target.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) fail(target, "cannot open for appending");
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) fail(target, "cannot inspect");
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        fail(target, "refusing to append to a file that is not regular:");
    }
    const off_t before = st.st_size;
    bool written = write_all(fd.get(), bytes) && (!sync || ::fdatasync(fd.get()) == 0) &&
                   ::fstat(fd.get(), &st) == 0;
    if (!written) {
        int err = errno;
        // A short append must not stay: the file goes back to what it was.
        if (::ftruncate(fd.get(), before) == 0 && sync) ::fdatasync(fd.get());
        errno = err;
        fail(target, "cannot append to");
    }
    if (!fd.close()) fail(target, "cannot append to");
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev),
                        static_cast<std::uint64_t>(st.st_ino),
                        static_cast<std::uint64_t>(st.st_size), nanoseconds(st.st_mtim)};
}

bool is_temp_name_of(std::string_view entry, std::string_view target_name) {
    constexpr std::string_view suffix = ".tmp";
    const std::size_t hex = kTempHexBytes * 2;
    target_name = target_name.substr(0, kTargetNameKept);
    if (entry.size() != 1 + target_name.size() + 1 + hex + suffix.size()) return false;
    if (entry[0] != '.' || entry.substr(1, target_name.size()) != target_name) return false;
    std::size_t at = 1 + target_name.size();
    if (entry[at] != '.') return false;
    for (char c : entry.substr(at + 1, hex))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return entry.substr(at + 1 + hex) == suffix;
}

std::vector<std::string> remove_stale_temporaries(const std::string &target,
                                                  std::optional<std::chrono::seconds> older_than) {
    std::vector<std::string> removed;
    std::string dir = directory_of(target), name = name_of(target);
    std::vector<DirEntry> entries;
    list_directory(dir, entries);  // what could be listed, however the listing ended
    std::time_t now = std::time(nullptr);
    for (const DirEntry &entry : entries) {
        if (!is_temp_name_of(entry.name, name)) continue;
        std::string path = join_path(dir, entry.name);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        if (older_than && now - st.st_mtime <= older_than->count()) continue;
        if (::unlink(path.c_str()) == 0) removed.push_back(path);
    }
    return removed;
}

namespace {

std::string mode_text(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

bool in_group(unsigned gid) {
    if (gid == ::getegid()) return true;
    int count = ::getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    count = ::getgroups(count, groups.data());
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<std::size_t>(i)] == gid) return true;
    return false;
}

void make_trusted_directory(const std::string &path, DirectorySharing sharing) {
    const bool group = sharing == DirectorySharing::group;
    make_parents(directory_of(path));
    if (::mkdir(path.c_str(), 0700) == 0) {
        // Made here: exactly the mode of its sharing, the umask aside; in a
        // shared one new files take the directory's group.
        if (group && ::chmod(path.c_str(), 02770) != 0) fail(path, "cannot set the mode of");
    } else if (errno != EEXIST) {
        fail(path, "cannot create directory");
    }

    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) fail(path, "cannot inspect");
    std::string problem;
    const bool mine = st.st_uid == ::geteuid();
    const bool team = group && (st.st_mode & S_IWGRP) != 0 && in_group(st.st_gid);
    if (S_ISLNK(st.st_mode))
        problem = "it is a symbolic link";
    else if (!S_ISDIR(st.st_mode))
        problem = "it is not a directory";
    else if ((st.st_mode & S_IWOTH) != 0)
        problem = "its mode is " + mode_text(st.st_mode) + ", writable by all users";
    else if (!mine && !team)
        problem = "it belongs to user " + std::to_string(st.st_uid) + ", not " +
                  std::to_string(::geteuid()) +
                  (group ? ", and is not writable by a group of theirs" : "");
    else if (!group && (st.st_mode & S_IWGRP) != 0)
        problem = "its mode is " + mode_text(st.st_mode) + ", writable by its group";
    if (!problem.empty())
        throw NotPrivateError(path + " cannot be trusted (" + problem +
                              "); remove it or choose another directory");
}

void make_private_directory(const std::string &path) {
    make_parents(directory_of(path));
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) fail(path, "cannot create directory");

    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) fail(path, "cannot inspect");
    std::string problem;
    if (S_ISLNK(st.st_mode))
        problem = "it is a symbolic link";
    else if (!S_ISDIR(st.st_mode))
        problem = "it is not a directory";
    else if (st.st_uid != ::geteuid())
        problem = "it belongs to user " + std::to_string(st.st_uid) + ", not " +
                  std::to_string(::geteuid());
    else if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        problem = std::string("its mode is ") + mode + ", open to other users";
    }
    if (!problem.empty())
        throw NotPrivateError(path + " is not a private directory (" + problem +
                              "); remove it or choose another directory");
}

}  // namespace plexaro::files
