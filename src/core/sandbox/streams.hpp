// Output streams of a finished program kept to a size fit for an error
// message, and the questions the harvest asks about a saved stream.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plexaro::sandbox {

// About this much of the end of each stream goes into an error message.
inline constexpr std::size_t kStreamTail = 64 * 1024;

// The end of a stream for an error message: whole when it is at most
// kStreamTail bytes; else a note of how many earlier bytes were left out,
// then the last bytes, cut at a UTF-8 character boundary.
std::string stream_tail(std::string_view data, std::size_t limit = kStreamTail);

// The same for a stream saved in a file ("" when it cannot be read).
std::string file_tail(const std::string &path, std::size_t limit = kStreamTail);

// Size of a regular file, 0 when it is missing.
std::uint64_t file_size(const std::string &path);

// True when the file holds nothing but white space (read as UTF-8, with the
// host's str.strip() idea of white space); a missing file is blank.
bool file_is_blank(const std::string &path);

}  // namespace plexaro::sandbox
