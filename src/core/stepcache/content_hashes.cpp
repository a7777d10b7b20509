#include "stepcache/content_hashes.hpp"

#include "common/files.hpp"

#include "sandbox/fsops.hpp"
#include "stepcache/files.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plexaro::stepcache {

namespace sb = plexaro::sandbox;

namespace {

constexpr int kMaxDepth = 64;  // a deeper tree is a link cycle

FileIdentity identity_of(const struct stat &st) {
    FileIdentity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = (std::uint64_t)st.st_size;
    id.mtime_ns = files::nanoseconds(st.st_mtim);
    id.ctime_ns = files::nanoseconds(st.st_ctim);
    id.is_dir = S_ISDIR(st.st_mode);
    return id;
}

}  // namespace

FileIdentity identify(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw sb::FsError(errno, path);
    return identity_of(st);
}

ContentHashes::ContentHashes(std::string memo_dir, bool change_time)
    : memo_dir_(std::move(memo_dir)), change_time_(change_time) {}

FileIdentity ContentHashes::identity(const std::string &path) const {
    FileIdentity id = identify(path);
    if (!change_time_) id.ctime_ns = 0;
    return id;
}

std::string ContentHashes::memo_path(const FileIdentity &id) const {
    Hasher h;
    h.field(change_time_ ? "file identity 1" : "file identity 1 without change time");
    for (std::uint64_t v :
         {id.device, id.inode, id.size, (std::uint64_t)id.mtime_ns, (std::uint64_t)id.ctime_ns})
        h.number(v);
    std::string name = h.digest().hex();
    return memo_dir_ + "/" + name.substr(0, 2) + "/" + name.substr(2);
}

ContentHashes::Content ContentHashes::file_content(const std::string &path, FileIdentity id) {
    std::string memo = memo_dir_.empty() ? std::string() : memo_path(id);
    if (!memo.empty()) {
        if (auto text = read_small_file(memo, 64)) {
            if (text->size() >= 32)
                if (auto digest = Digest::from_hex(std::string_view(*text).substr(0, 32))) {
                    // Renewed on each use: eviction keeps the digests in use.
                    ::utimensat(AT_FDCWD, memo.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
                    return {*digest, id.size};
                }
        }
    }
    // O_NONBLOCK: a FIFO put where the file was is refused, not waited on.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw sb::FsError(errno, path);
    FdGuard guard(fd);
    struct stat before, after;
    if (::fstat(fd, &before) != 0) throw sb::FsError(errno, path);
    if (!S_ISREG(before.st_mode)) throw sb::FsError(EINVAL, path);
    std::uint64_t read = 0;
    Digest digest = hash_stream(fd, path, read);
    bytes_read_ += read;
    if (::fstat(fd, &after) != 0) throw sb::FsError(errno, path);
    FileIdentity start = identity_of(before), end = identity_of(after);
    if (!change_time_) start.ctime_ns = end.ctime_ns = 0;
    // A file written while it was read is not remembered, and the step that
    // read it is not stored either (see unchanged()).
    if (!(start == end) || !(start == id) || read != end.size) {
        seen_.emplace_back(path, FileIdentity{});
        return {digest, read};
    }
    if (!memo.empty()) {
        try {
            write_file_replacing(memo, digest.hex() + "\n");
        } catch (const sb::FsError &) {
            // The memo only saves time: a volume that refuses it costs a re-read.
        }
    }
    return {digest, read};
}

ContentHashes::Content ContentHashes::tree_content(const std::string &path, int depth) {
    if (depth > kMaxDepth) throw sb::FsError(ELOOP, path);
    std::vector<std::string> names = sb::list_dir(path);
    std::sort(names.begin(), names.end());
    Hasher h;
    h.field("tree 1");
    std::uint64_t total = 0;
    for (const std::string &name : names) {
        std::string full = path + "/" + name;
        FileIdentity id = identity(full);
        Content part = id.is_dir ? tree_content(full, depth + 1) : of(full);
        h.field(id.is_dir ? "d" : "f");
        h.field(name);
        h.number(part.digest.high);
        h.number(part.digest.low);
        total += part.size;
    }
    return {h.digest(), total};
}

ContentHashes::Content ContentHashes::of(const std::string &path) {
    FileIdentity id = identity(path);
    if (id.is_dir) return tree_content(path, 0);
    seen_.emplace_back(path, id);
    return file_content(path, id);
}

bool ContentHashes::unchanged() const {
    for (const auto &[path, id] : seen_) {
        if (id == FileIdentity{}) return false;
        try {
            if (!(identity(path) == id)) return false;
        } catch (const sb::FsError &) {
            return false;
        }
    }
    return true;
}

}  // namespace plexaro::stepcache
