// What a cache entry remembers of a finished step: the tree it placed in the
// output directory (directories, then files with their metadata), which of
// those files each output slot received, the words that ran and when.
#pragma once

#include "stepcache/digest.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::stepcache {

struct EntryFile {
    std::string rel;  // relative to the output directory
    std::uint64_t size = 0;
    // The stored copy as it was left: any later change to it (or its
    // removal) makes the entry stale.
    std::uint64_t inode = 0;
    std::int64_t mtime_ns = 0, ctime_ns = 0;
    // Its content when stored: a file whose identity moved is delivered only
    // when its content still has this digest.
    Digest digest{};
};

struct EntrySlot {
    std::string name;
    std::vector<std::string> delivered;  // relative paths, in delivery order
};

struct EntryRecord {
    std::string tool;
    std::vector<std::string> words;  // the executable and arguments that ran
    std::string started, ended;      // UTC timestamps of the original run
    double seconds = 0;              // its duration
    std::vector<std::string> dirs;   // made in the output directory, parents first
    std::vector<EntryFile> files;
    std::vector<EntrySlot> slots;
    std::optional<std::string> stdout_file;  // the standard-output fallback file

    std::uint64_t total_size() const;
};

std::string format_record(const EntryRecord &record);
// nullopt for anything this version did not write whole, including a path
// that would leave the output directory.
std::optional<EntryRecord> parse_record(std::string_view text);

// A relative path that stays below its directory: no empty, "." or ".."
// part, not absolute.
bool safe_relative(std::string_view rel);

}  // namespace plexaro::stepcache
