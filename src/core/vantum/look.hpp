// One look at a file: what format its first bytes say it is, and the
// preview of its first lines (of the decompressed data for compressed text).
#pragma once

#include "vantum/bounded_read.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace plexaro::vantum {

// A compressed file's data is decompressed in steps of kDecompressStep
// bytes until its first lines are there, but never past kDecompressedBytes.
inline constexpr std::size_t kDecompressStep = 512;
inline constexpr std::size_t kDecompressedBytes = 4096;

struct FileLook {
    std::string format;         // empty for plain data
    bool decompressed = false;  // the preview is of decompressed data
    std::optional<std::string> preview;
    bool operator==(const FileLook &) const = default;
};

// Only regular files (links followed) are opened, so a FIFO, device or
// socket costs no waiting and gives an empty look. Nothing is previewed when
// the file cannot be opened or read, is empty, is not text, is a binary
// format, or when reading has not finished by `deadline` (the format, if
// already known, is kept).
FileLook look_at_file(const std::string &path, std::size_t lines, std::size_t chars,
                      Clock::time_point deadline, const ReadOps &ops = system_read_ops());

struct LookRequest {
    std::string path;
    std::size_t lines;
    std::size_t chars;
};

// Looks at several files in order on the caller's thread, each bounded by
// `timeout` from the moment its look starts.
std::vector<FileLook> look_at_files(const std::vector<LookRequest> &requests,
                                    Clock::duration timeout,
                                    const ReadOps &ops = system_read_ops());

}  // namespace plexaro::vantum
