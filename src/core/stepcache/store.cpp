#include "stepcache/store.hpp"

#include "common/files.hpp"
#include "common/path.hpp"

#include "sandbox/fsops.hpp"
#include "stepcache/digest.hpp"
#include "stepcache/files.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plexaro::stepcache {

namespace sb = plexaro::sandbox;

namespace {

constexpr std::size_t kMaxRecord = 64u << 20;
// How long before the oldest entry that stays a digest must have been used
// last to stay too: a digest is renewed when a run starts, its entry's use
// when the run ends.
constexpr double kDigestGrace = 24 * 3600;

// `dst` as a hard link to `src`, replacing a file there; false when the file
// system refuses (another device, no links, too many links), so the caller
// copies instead.
bool link_replacing(const std::string &src, const std::string &dst) {
    if (::link(src.c_str(), dst.c_str()) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat st;
    if (::lstat(dst.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    // Linked beside it and renamed over it: the old file is replaced whole.
    std::string tmp = dst + "." + unique_suffix() + ".tmp";
    if (::link(src.c_str(), tmp.c_str()) != 0) return false;
    if (::rename(tmp.c_str(), dst.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// The digest of the regular file at `path` (no link followed) when it holds
// `size` bytes; nullopt when it is anything else or cannot be read.
std::optional<Digest> digest_of(const std::string &path, std::uint64_t size) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    FdGuard guard(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (std::uint64_t)st.st_size != size)
        return std::nullopt;
    try {
        std::uint64_t read = 0;
        Digest digest = hash_stream(fd, path, read);
        if (read != size) return std::nullopt;
        return digest;
    } catch (const sb::FsError &) {
        return std::nullopt;
    }
}

// Flushes a directory's entries to disk.
void sync_directory(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) throw sb::FsError(errno, path);
    FdGuard guard(fd);
    if (::fsync(fd) != 0) throw sb::FsError(errno, path);
}

// A new file at `stored` with the content, permission bits and timestamps
// of the regular file `placed` (no link followed), open for reading:
// reflinked where the file system can; otherwise copied in the kernel in
// slices, each handed to the disk as soon as it is written, so the flush
// before the entry is renamed into place waits only for the last one.
FdGuard copy_into_entry(const std::string &placed, const std::string &stored) {
    FdGuard in(::open(placed.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!in.valid()) throw sb::FsError(errno, placed);
    struct stat st;
    if (::fstat(in.get(), &st) != 0) throw sb::FsError(errno, placed);
    if (!S_ISREG(st.st_mode)) throw sb::FsError(EINVAL, placed);
    FdGuard out(::open(stored.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                       st.st_mode & 0777));
    if (!out.valid()) throw sb::FsError(errno, stored);
    if (st.st_size > 0 && ::ioctl(out.get(), FICLONE, in.get()) != 0) {
        constexpr std::size_t kSlice = 32u << 20;
        off_t done = 0;
        while (done < st.st_size) {
            ssize_t n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, kSlice, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            ::sync_file_range(out.get(), done, n, SYNC_FILE_RANGE_WRITE);
            done += n;
        }
        if (done < st.st_size) {
            // No kernel copy between these files: the plain copy.
            out.reset();
            ::unlink(stored.c_str());
            sb::copy_file(placed, stored, true);
            out = FdGuard(::open(stored.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
            if (!out.valid()) throw sb::FsError(errno, stored);
            return out;
        }
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out.get(), times) != 0 || ::fchmod(out.get(), st.st_mode & 07777) != 0)
        throw sb::FsError(errno, stored);
    return out;
}

bool valid_key(const std::string &key) {
    if (key.size() < 8 || key.size() > 128) return false;
    for (char c : key)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

StepCache::StepCache(std::string dir, std::optional<std::uint64_t> size_limit, bool hard_links)
    : dir_(std::move(dir)), size_limit_(size_limit), hard_links_(hard_links) {
    while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
}

std::string StepCache::entry_dir(const std::string &key) const {
    return dir_ + "/entries/" + key.substr(0, 2) + "/" + key;
}

std::optional<Hit> StepCache::find(const std::string &key) const {
    if (!valid_key(key)) return std::nullopt;
    std::string entry = entry_dir(key);
    auto text = read_small_file(entry + "/record", kMaxRecord);
    if (!text) return std::nullopt;
    auto record = parse_record(*text);
    if (!record) return std::nullopt;
    for (const EntryFile &f : record->files) {
        struct stat st;
        std::string stored = entry + "/files/" + f.rel;
        if (::lstat(stored.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            (std::uint64_t)st.st_size != f.size)
            return std::nullopt;
        // A hard link made or removed changes the change time; with links
        // the modification time alone tells a changed file. A file whose
        // identity moved (touched, copied elsewhere, linked) is still taken
        // when its content is the one stored, and only then.
        if (st.st_ino == f.inode && files::nanoseconds(st.st_mtim) == f.mtime_ns &&
            (hard_links_ || files::nanoseconds(st.st_ctim) == f.ctime_ns))
            continue;
        if (digest_of(stored, f.size) != f.digest) return std::nullopt;
    }
    return Hit{std::move(entry), std::move(*record)};
}

bool StepCache::place(const Hit &hit, const std::string &output_path) const {
    for (const std::string &d : hit.record.dirs) sb::make_dirs(output_path + "/" + d);
    for (const EntryFile &f : hit.record.files) {
        std::string src = hit.entry_dir + "/files/" + f.rel, dst = output_path + "/" + f.rel;
        sb::make_dirs(files::parent_directory(dst));
        if (hard_links_ && link_replacing(src, dst)) continue;
        // A copy beside it, renamed over it: a file already there (perhaps a
        // link to another delivery or to an input) is replaced, never
        // written through.
        std::string tmp = dst + "." + unique_suffix() + ".tmp";
        try {
            sb::copy_file(src, tmp, true);
        } catch (const sb::FsError &e) {
            ::unlink(tmp.c_str());
            if (e.err == ENOENT && e.path == src) return false;
            throw;
        }
        if (::rename(tmp.c_str(), dst.c_str()) != 0) {
            int e = errno;
            ::unlink(tmp.c_str());
            throw sb::FsError(e, tmp, dst);
        }
    }
    return true;
}

void StepCache::touch(const Hit &hit) const noexcept {
    std::string used = hit.entry_dir + "/used";
    if (::utimensat(AT_FDCWD, used.c_str(), nullptr, AT_SYMLINK_NOFOLLOW) != 0) {
        int fd = ::open(used.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) ::close(fd);
    }
}

void StepCache::discard(const std::string &entry) const {
    std::string gone = incoming() + "/gone-" + unique_suffix();
    try {
        sb::make_dirs(incoming());
    } catch (const sb::FsError &) {
        return;
    }
    if (::rename(entry.c_str(), gone.c_str()) == 0) sb::remove_tree(gone);
}

StepCache::Stored StepCache::store(const std::string &key, EntryRecord record,
                                   const std::string &output_path) {
    if (!valid_key(key)) throw sb::FsError(EINVAL, key);
    std::uint64_t total = 0;
    for (EntryFile &f : record.files) {
        struct stat st;
        std::string placed = output_path + "/" + f.rel;
        if (::stat(placed.c_str(), &st) != 0) throw sb::FsError(errno, placed);
        total += (std::uint64_t)st.st_size;
    }
    if (size_limit_ && total > *size_limit_) return Stored::too_large;
    if (auto present = find(key)) {
        touch(*present);
        return Stored::already_present;
    }

    sweep_incoming();
    sb::make_dirs(incoming());
    std::string tmp = incoming() + "/" + key + "." + unique_suffix();
    if (::mkdir(tmp.c_str(), 0777) != 0) throw sb::FsError(errno, tmp);
    // The lock on "used" tells a sweeping worker that this entry is being written.
    int used_fd = ::open((tmp + "/used").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (used_fd < 0) {
        int e = errno;
        sb::remove_tree(tmp);
        throw sb::FsError(e, tmp + "/used");
    }
    FdGuard used(used_fd);
    try {
        lock_file(used.get());
        std::string stored_dir = tmp + "/files";
        sb::make_dirs(stored_dir);
        for (const std::string &d : record.dirs) sb::make_dirs(stored_dir + "/" + d);
        std::vector<FdGuard> open_files;
        for (EntryFile &f : record.files) {
            std::string stored = stored_dir + "/" + f.rel;
            sb::make_dirs(files::parent_directory(stored));
            std::string placed = output_path + "/" + f.rel;
            struct stat st;
            if (hard_links_ && ::lstat(placed.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                ::link(placed.c_str(), stored.c_str()) == 0) {
                FdGuard linked(::open(stored.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
                if (!linked.valid()) throw sb::FsError(errno, stored);
                ::sync_file_range(linked.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
                open_files.push_back(std::move(linked));
                continue;
            }
            open_files.push_back(copy_into_entry(placed, stored));
        }
        // Every stored file is on disk, with its digest, before the record
        // that names it; identities are taken once every write and metadata
        // change is done: from here on only an outside hand changes them.
        for (std::size_t i = 0; i < record.files.size(); ++i) {
            EntryFile &f = record.files[i];
            std::string stored = stored_dir + "/" + f.rel;
            int fd = open_files[i].get();
            std::uint64_t read = 0;
            if (::lseek(fd, 0, SEEK_SET) != 0) throw sb::FsError(errno, stored);
            f.digest = hash_stream(fd, stored, read);
            struct stat st;
            if (::fsync(fd) != 0 || ::fstat(fd, &st) != 0) throw sb::FsError(errno, stored);
            if (read != (std::uint64_t)st.st_size) throw sb::FsError(EAGAIN, stored);
            f.size = (std::uint64_t)st.st_size;
            f.inode = st.st_ino;
            f.mtime_ns = files::nanoseconds(st.st_mtim);
            f.ctime_ns = files::nanoseconds(st.st_ctim);
        }
        open_files.clear();
        {
            std::string record_path = tmp + "/record";
            sb::write_file(record_path, format_record(record));
            FdGuard written(::open(record_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
            if (!written.valid() || ::fsync(written.get()) != 0)
                throw sb::FsError(errno, record_path);
        }
        for (auto d = record.dirs.rbegin(); d != record.dirs.rend(); ++d)
            sync_directory(stored_dir + "/" + *d);
        sync_directory(stored_dir);
        sync_directory(tmp);

        std::string entry = entry_dir(key);
        sb::make_dirs(files::parent_directory(entry));
        for (int attempt = 0;; ++attempt) {
            if (::rename(tmp.c_str(), entry.c_str()) == 0) {
                try {
                    sync_directory(files::parent_directory(entry));
                } catch (const sb::FsError &) {
                    // In place already; the flush only orders it before a crash.
                }
                return Stored::stored;
            }
            int e = errno;
            if (e != ENOTEMPTY && e != EEXIST) throw sb::FsError(e, tmp, entry);
            // Another worker got there first: theirs stays, unless it is stale.
            if (auto present = find(key); present || attempt > 0) {
                sb::remove_tree(tmp);
                return Stored::already_present;
            }
            discard(entry);
        }
    } catch (...) {
        sb::remove_tree(tmp);
        throw;
    }
}

void StepCache::sweep_incoming(double min_age_seconds) const {
    std::vector<sb::DirEntry> entries;
    try {
        entries = sb::list_dir_typed(incoming());
    } catch (const sb::FsError &) {
        return;
    }
    double now = now_seconds();
    for (const sb::DirEntry &e : entries) {
        std::string path = incoming() + "/" + e.name;
        auto modified = modified_at(path);
        if (!modified || now - *modified < min_age_seconds) continue;
        // A write lock needs a descriptor open for writing.
        int fd = ::open((path + "/used").c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd >= 0) {
            FdGuard guard(fd);
            bool writer_alive = false;
            try {
                writer_alive = !try_lock_file(fd);
            } catch (const sb::FsError &) {
                writer_alive = true;
            }
            if (writer_alive) continue;
        }
        sb::remove_tree(path);
    }
}

int StepCache::evict() {
    if (!size_limit_) return 0;
    std::string lock_path = dir_ + "/evict.lock";
    int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return 0;
    FdGuard guard(fd);
    if (!try_lock_file(fd)) return 0;

    struct Candidate {
        std::string path;
        double last_use;
        std::uint64_t size;
    };
    std::vector<Candidate> candidates;
    std::uint64_t total = 0;
    std::string root = dir_ + "/entries";
    std::vector<sb::DirEntry> shards;
    try {
        shards = sb::list_dir_typed(root);
    } catch (const sb::FsError &) {
        return 0;
    }
    double now = now_seconds();
    for (const sb::DirEntry &shard : shards) {
        std::vector<sb::DirEntry> keys;
        try {
            keys = sb::list_dir_typed(root + "/" + shard.name);
        } catch (const sb::FsError &) {
            continue;
        }
        for (const sb::DirEntry &k : keys) {
            std::string path = root + "/" + shard.name + "/" + k.name;
            auto text = read_small_file(path + "/record", kMaxRecord);
            auto record = text ? parse_record(*text) : std::nullopt;
            if (!record) {
                // No readable record: nobody can use it. Left alone for a
                // while in case its writer's rename is what we are seeing.
                auto modified = modified_at(path);
                if (modified && now - *modified > 600) discard(path);
                continue;
            }
            auto used = modified_at(path + "/used");
            std::uint64_t size = record->total_size();
            candidates.push_back({path, used ? *used : 0.0, size});
            total += size;
        }
    }
    if (total <= *size_limit_) return 0;
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate &a, const Candidate &b) { return a.last_use < b.last_use; });
    int removed = 0;
    for (const Candidate &c : candidates) {
        if (total <= *size_limit_) break;
        discard(c.path);
        total -= c.size;
        ++removed;
    }
    // The digests go with the entries: a digest not used since well before
    // the least recently used entry that stays was an input of evicted runs
    // only (each use of a digest renews it).
    std::size_t first_kept = (std::size_t)removed;
    double oldest_kept = first_kept < candidates.size() ? candidates[first_kept].last_use : now;
    evict_digests(oldest_kept - kDigestGrace);
    return removed;
}

void StepCache::evict_digests(double unused_since) const {
    std::vector<sb::DirEntry> shards;
    try {
        shards = sb::list_dir_typed(hashes_dir());
    } catch (const sb::FsError &) {
        return;
    }
    for (const sb::DirEntry &shard : shards) {
        std::string dir = hashes_dir() + "/" + shard.name;
        std::vector<sb::DirEntry> memos;
        try {
            memos = sb::list_dir_typed(dir);
        } catch (const sb::FsError &) {
            continue;
        }
        for (const sb::DirEntry &m : memos) {
            std::string path = dir + "/" + m.name;
            auto modified = modified_at(path);
            if (modified && *modified < unused_since) ::unlink(path.c_str());
        }
    }
}

}  // namespace plexaro::stepcache
