// Content digests of a step's input files, each file read once per identity
// (device, inode, size, modification and change time): the digest is kept
// as a small file in a memo directory shared by every worker, so a 10 GB
// reference is hashed once, not once per step that reads it.
#pragma once

#include "stepcache/digest.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace plexaro::stepcache {

struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtime_ns = 0, ctime_ns = 0;
    bool is_dir = false;
    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};

// Identity of the file `path` names (links followed). Throws
// sandbox::FsError when it cannot be looked at.
FileIdentity identify(const std::string &path);

class ContentHashes {
public:
    // `memo_dir` empty: nothing is remembered between calls of this object.
    // Without `change_time` a file's identity leaves its change time out:
    // where hard links to it come and go, the change time moves although the
    // content does not.
    explicit ContentHashes(std::string memo_dir = {}, bool change_time = true);

    struct Content {
        Digest digest;
        std::uint64_t size = 0;  // bytes, summed over a directory's files
    };

    // The digest of a regular file, or of a directory tree (names, kinds and
    // file contents, links followed as staging follows them). Throws
    // sandbox::FsError for anything it cannot read, and for special files.
    Content of(const std::string &path);

    // False when a file hashed so far has changed since (its content may no
    // longer be what the digest says).
    bool unchanged() const;

    // Bytes actually read, memo hits not counted.
    std::uint64_t bytes_read() const { return bytes_read_; }

private:
    Content file_content(const std::string &path, FileIdentity id);
    FileIdentity identity(const std::string &path) const;
    Content tree_content(const std::string &path, int depth);
    std::string memo_path(const FileIdentity &id) const;

    std::string memo_dir_;
    bool change_time_ = true;
    std::vector<std::pair<std::string, FileIdentity>> seen_;
    std::uint64_t bytes_read_ = 0;
};

}  // namespace plexaro::stepcache
