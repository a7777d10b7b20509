// Small file-system pieces of the step cache: whole-file replacement through
// a unique temporary name, bounded reads, unique names and OS file locks
// that hold between processes and between threads of one process.
#pragma once

#include "common/unique_fd.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace plexaro::stepcache {

// Open descriptors are owned by files::UniqueFd (common/unique_fd.hpp).
using FdGuard = files::UniqueFd;

// The file's bytes when it is a regular file of at most `limit` bytes;
// nullopt when it is missing, larger, or not a regular file (links are not
// followed).
std::optional<std::string> read_small_file(const std::string &path, std::size_t limit);

// files::replace_file without the flush to disk, the directory made when
// missing: a reader sees the old file or the new one, never a part. Throws
// sandbox::FsError.
void write_file_replacing(const std::string &path, std::string_view data);

// 16 random hexadecimal digits, for names no other writer picks
// (files::random_hex).
std::string unique_suffix();

// Seconds since the epoch of the entry's last modification (links not
// followed); nullopt when it is gone.
std::optional<double> modified_at(const std::string &path);

// An exclusive lock on an open file: an open-file-description lock, so two
// threads of one process exclude each other as two processes do. It lasts
// until the descriptor is closed, also when its holder is killed.
void lock_file(int fd);      // waits for it
bool try_lock_file(int fd);  // false when another holder has it

}  // namespace plexaro::stepcache
