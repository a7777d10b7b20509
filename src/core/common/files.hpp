// Files shared between processes and users: an OS lock around a rewrite, a
// unique temporary name beside a file that is renamed into place once
// complete, and directories private to the user who made them.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace plexaro::files {

// An operating-system error about one path (errno in code()).
class PathError : public std::system_error {
public:
    PathError(int err, std::string path, const std::string &what)
        : std::system_error(err, std::generic_category(), what), path_(std::move(path)) {}
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// A directory that exists but is not private to the current user: a link,
// another owner, or group/other permission bits.
class NotPrivateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An exclusive advisory lock (flock) on `lock_path`, created when missing
// (mode 0666 less the umask; a link there is refused). Other processes, and
// other threads of this one, wait until it is released. The same thread may
// take the same path again while it holds it (the inner lock is a no-op), so
// an operation that locks may call another that locks the same file.
// The constructor blocks: call it without holding any interpreter lock.
class ExclusiveFileLock {
public:
    explicit ExclusiveFileLock(std::string lock_path);
    ~ExclusiveFileLock();
    ExclusiveFileLock(const ExclusiveFileLock &) = delete;
    ExclusiveFileLock &operator=(const ExclusiveFileLock &) = delete;

private:
    std::string path_;
};

// A new, empty file under a unique name beside `target`:
// "<dir>/.<name>.<12 hex digits>.tmp" (a very long name is cut to its first
// 200 bytes there). Opened write-only with O_EXCL, never
// through a link, close-on-exec; `mode` is filtered by the umask, so the
// default gives the permissions a plain open() of `target` would.
struct TempFile {
    int fd = -1;
    std::string path;
};
TempFile create_temp_beside(const std::string &target, unsigned mode = 0666);

// Writes every byte to `fd`, going on after interrupted or short writes;
// false (errno set) when a write fails.
bool write_all(int fd, std::string_view bytes);

// `bytes` random bytes (at most 16) from the kernel, as lower-case hex
// digits: for names no other writer picks.
std::string random_hex(std::size_t bytes);

// rename(temp, target): the target is replaced in one step, so readers see
// either the old file or the complete new one.
void replace_into_place(const std::string &temp, const std::string &target);

// A file time of stat (st_mtim, st_ctim) in nanoseconds since the epoch.
inline std::int64_t nanoseconds(const struct timespec &t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// What a rewrite left at the path: enough to tell later whether the file
// is still the one written.
struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtime_ns = 0;
    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};

struct ReplaceOptions {
    // Exact permission bits of the new file; none: those a plain open()
    // would give (0666 less the umask).
    std::optional<unsigned> mode;
    bool keep_mode = false;  // an existing file's bits win over `mode`
    bool sync = true;        // flushed to disk before the rename
};

// Replaces the file at `target` by `bytes`: written to a temporary of
// create_temp_beside and renamed into place, so a reader sees the old file
// or the new one, never a part (and, synced, a crash leaves the old content
// intact). A symbolic link at `target` is refused (PathError with ELOOP),
// never followed or replaced. On failure the temporary is removed and
// PathError says why.
FileIdentity replace_file(const std::string &target, std::string_view bytes,
                          const ReplaceOptions &options = {});

// Appends `bytes` to the regular file at `target` (opened with O_APPEND,
// never through a link) and, with `sync`, flushes them with fdatasync: only
// the appended blocks are written back, whatever the file's size. Returns
// the file's identity after the append. PathError (ELOOP for a link) on
// failure, after cutting off what a failed append wrote; the caller holds
// the lock that makes the append whole for readers.
FileIdentity append_file(const std::string &target, std::string_view bytes, bool sync = true);

// Whether `entry` (a name inside target's directory) is a temporary of
// create_temp_beside for a target named `target_name`.
bool is_temp_name_of(std::string_view entry, std::string_view target_name);

// Removes the temporaries of `target` left by rewrites that never finished
// (a killed process): all of them, or only those whose last change is older
// than `older_than`. Returns the removed paths. Errors are ignored (another
// process may remove the same file).
std::vector<std::string> remove_stale_temporaries(
    const std::string &target, std::optional<std::chrono::seconds> older_than = std::nullopt);

// Creates `path` (and missing parents) as a directory only its owner can
// use (mode 0700), or accepts an existing one only when it is a directory
// (not a link), owned by the effective user, without group/other bits.
// Throws NotPrivateError (with a message naming the path) or PathError.
void make_private_directory(const std::string &path);

// Who, besides its owner, may write into a directory the user names for
// data that later runs trust (a cache).
enum class DirectorySharing {
    owner,  // nobody else
    group,  // also the members of its group, when the user is one of them
};

// Creates `path` (and missing parents) when missing, as a directory of mode
// 0700 (DirectorySharing::group: 02770, whatever the umask), or accepts an
// existing one only when it is a directory (not a link) that nobody outside
// the circle can write: owned by the effective user and not writable by
// group or others, or, with DirectorySharing::group, also one that is
// group-writable for a group the user belongs to (whoever owns it). A
// directory writable by all users is always refused. Throws
// NotPrivateError (with a message naming the path) or PathError.
void make_trusted_directory(const std::string &path, DirectorySharing sharing);

// Whether the effective user belongs to group `gid` (its effective or a
// supplementary group).
bool in_group(unsigned gid);

}  // namespace plexaro::files
