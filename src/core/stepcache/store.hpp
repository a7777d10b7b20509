// The entry store of the step cache, a directory that every worker of one
// pipeline volume may share:
//
//   entries/<k0k1>/<key>/record   what the step placed (entry.hpp)
//   entries/<k0k1>/<key>/files/   the placed tree, relative to the output dir
//   entries/<k0k1>/<key>/used     its modification time is the last use
//   incoming/                     entries being written or taken apart
//   hashes/                       content digests by file identity
//   runs.jsonl                    one line per run
//
// An entry is written in full under incoming/ and renamed into place, so a
// reader sees a whole entry or none; a store killed half-way leaves only
// litter under incoming/, which a later store removes.
#pragma once

#include "stepcache/entry.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace plexaro::stepcache {

struct Hit {
    std::string entry_dir;
    EntryRecord record;
};

class StepCache {
public:
    // `size_limit`: the most the entries' files may take together; no limit
    // when absent. The directory is made when the first entry is stored.
    //
    // `hard_links`: entries take their files from the output directory, and
    // hits deliver them, as hard links where the file system allows (copies
    // otherwise), so neither costs a copy. The delivered files then share
    // the entry's inode: a file changed in place changes every delivery of
    // it (a changed entry is still noticed, and replaced, at its next use).
    StepCache(std::string dir, std::optional<std::uint64_t> size_limit = {},
              bool hard_links = false);

    const std::string &dir() const { return dir_; }
    std::string hashes_dir() const { return dir_ + "/hashes"; }
    std::string run_log() const { return dir_ + "/runs.jsonl"; }

    // The complete entry of `key` whose stored files are all as they were
    // left; nullopt when there is none or it is stale (changed or removed).
    std::optional<Hit> find(const std::string &key) const;

    // Makes the entry's directories and copies its files into `output_path`
    // (reflinked where the file system can, copied otherwise, permission bits
    // and timestamps kept). False when the entry vanished half-way (another
    // worker evicted it); other failures throw sandbox::FsError.
    bool place(const Hit &hit, const std::string &output_path) const;

    // Marks the entry as used now (for the least-recently-used eviction).
    void touch(const Hit &hit) const noexcept;

    enum class Stored { stored, already_present, too_large };
    // Copies the files `record` lists from `output_path` into a new entry
    // for `key` (sizes and identities filled in here). Two workers storing
    // one key both succeed; one entry remains. A stale entry is replaced.
    Stored store(const std::string &key, EntryRecord record, const std::string &output_path);

    // Removes least recently used entries until the rest fit the size limit,
    // and with them the input digests (hashes/) not used since a day before
    // the oldest use of an entry that stays; returns the number of entries
    // removed. A worker that finds another one evicting leaves it to that one.
    int evict();

    // Removes the input digests last used before `unused_since` (seconds
    // since the epoch).
    void evict_digests(double unused_since) const;

    // Removes what killed stores and evictions left under incoming/ (only
    // what is older than `min_age_seconds` and not being written).
    void sweep_incoming(double min_age_seconds = 600) const;

private:
    std::string entry_dir(const std::string &key) const;
    std::string incoming() const { return dir_ + "/incoming"; }
    // Moves an entry out of place (atomically) and deletes it.
    void discard(const std::string &entry) const;

    std::string dir_;
    std::optional<std::uint64_t> size_limit_;
    bool hard_links_ = false;
};

}  // namespace plexaro::stepcache
