// Rewriting a file that others may read at any moment: the new content goes
// to a unique temporary file beside it, is flushed to disk, and is renamed
// over the old one, so a reader sees the old file or the new one, never a
// part, and a crash leaves the old content intact.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace plexaro::common {

struct FileIdentity {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtime_ns = 0;
};

// Replaces the file at `path` by `bytes` with permission bits `mode` (the
// old file's bits when `keep_mode` and there is one). A symbolic link at
// `path` is refused (ELOOP), never followed or replaced. Returns the new
// file's identity. Throws std::system_error (errno) on failure; the
// temporary file is removed then.
FileIdentity replace_file(const std::string &path, std::string_view bytes, mode_t mode,
                          bool keep_mode);

}  // namespace plexaro::common
