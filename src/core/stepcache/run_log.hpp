// The run log: one JSON line per step run, cached or not, as the step's
// provenance. Lines are appended whole under a lock, so workers sharing one
// log on a pipeline volume never interleave.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::stepcache {

struct RunFile {
    std::string name;  // the input key or output slot it belongs to ("" for none)
    std::string path;
    std::uint64_t size = 0;
    std::optional<std::string> hash;  // content digest, for inputs
};

// Where the tool ran and what it used: "local" (this machine's child
// process) or a scheduler's job.
struct Execution {
    std::string executor;
    std::optional<std::string> job_id, node, state;
    std::optional<double> cpu_seconds;
    std::optional<std::uint64_t> peak_memory;  // bytes
};

struct RunRecord {
    std::string tool;
    std::optional<std::string> image;
    std::vector<std::string> words;  // the executable, then its arguments
    std::vector<RunFile> inputs, outputs;
    std::string started, ended;
    double seconds = 0;
    std::optional<int> exit_status;
    bool cache_hit = false;
    std::optional<std::string> key;      // when the cache is on
    std::optional<std::string> error;    // why the run failed
    std::optional<Execution> execution;  // none for a cache hit
};

// The record as one line of JSON (ending in a line feed). Text that is not
// UTF-8 keeps its bytes as the escapes "\udc80".."\udcff", which a Python
// reader turns back into the same bytes with os.fsencode.
std::string run_record_line(const RunRecord &record);

// "2026-12-08T13:10:32.123456Z"
std::string utc_timestamp(std::chrono::system_clock::time_point when);

// Appends `line` to the file at `path` (made when missing) in one write,
// holding a lock on the file meanwhile; a line feed first when the file does
// not end in one (a writer killed mid-line). Throws sandbox::FsError.
void append_line(const std::string &path, std::string_view line);

// `text` as a JSON string literal, quotes included.
std::string json_string(std::string_view text);

}  // namespace plexaro::stepcache
