// One step as the cache and the run log see it: the key from the step's
// facts and its inputs' contents, reuse of a stored entry, storing after a
// successful run, and the run's line in the log. Every failure of the cache
// itself is absorbed into a warning: the step then simply runs as it would
// without a cache.
#pragma once

#include "sandbox/fsops.hpp"
#include "stepcache/content_hashes.hpp"
#include "stepcache/entry.hpp"
#include "stepcache/run_log.hpp"
#include "stepcache/store.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plexaro::stepcache {

struct Settings {
    std::optional<std::string> dir;           // the cache; off when absent
    std::optional<std::uint64_t> size_limit;  // for its entries
    bool hard_links = false;                  // entries and hits share files
    // Variables that enter the key, with their values (nullopt: unset).
    std::vector<std::pair<std::string, std::optional<std::string>>> environment;
    std::optional<std::string> run_log;  // a log the host names, cache on or off

    bool enabled() const { return dir || run_log; }
};

// A staged input file (or companion): the input it belongs to, where it is
// on the host, and its name in the sandbox.
struct StepInput {
    std::string input;
    std::string source;
    std::string staged_name;
};

struct StepFacts {
    std::string tool;
    std::optional<std::string> image;
    std::vector<std::pair<std::string, std::string>> manifest;  // entries that shape the run
    std::vector<std::string> words;  // the executable and the planned arguments
    std::vector<std::pair<std::string, std::string>> scalars;
    std::vector<StepInput> inputs;
    std::vector<std::string> slots;  // output slot names, in manifest order
};

// What a run placed in the output directory, relative to it.
struct PlacedOutputs {
    std::vector<std::string> dirs;  // parents first
    std::vector<std::string> files;
    std::vector<EntrySlot> slots;
    std::optional<std::string> stdout_file;
};

class CachedStep {
public:
    // Starts the clock and hashes the inputs (memoised in the cache).
    CachedStep(Settings settings, StepFacts facts, std::string output_path);

    // The step's key; nullopt when the cache is off or an input could not be
    // read (the step then runs uncached).
    const std::optional<std::string> &key() const { return key_; }

    // On a hit, places the stored outputs into the output directory, logs the
    // run and returns the entry; nullopt means: run the step.
    std::optional<EntryRecord> reuse();

    // After a successful run: stores its outputs (cache on) and logs it.
    void succeeded(std::vector<std::string> words_run, PlacedOutputs outputs);
    // After a failed run: logs it; nothing is stored.
    void failed(std::vector<std::string> words_run, std::string error);

    // Where the attempt that ran last ran, for the run's line in the log.
    void executed(Execution execution) { execution_ = std::move(execution); }

    // Messages about failures that were absorbed, oldest first; emptied.
    std::vector<std::string> take_warnings() { return std::exchange(warnings_, {}); }

private:
    RunRecord base_record(std::vector<std::string> words) const;
    void add_outputs(RunRecord &record, const PlacedOutputs &outputs) const;
    void log(RunRecord record);
    void warn(std::string message) { warnings_.push_back(std::move(message)); }

    Settings settings_;
    StepFacts facts_;
    std::string output_path_;
    std::optional<StepCache> cache_;
    std::unique_ptr<ContentHashes> hashes_;
    std::vector<ContentHashes::Content> contents_;  // per input, when all were read
    std::optional<std::string> key_;
    std::chrono::system_clock::time_point started_;
    std::chrono::steady_clock::time_point clock_;
    std::vector<std::string> warnings_;
    std::optional<Execution> execution_;
};

// The text of a file-system failure: "<reason>: '<path>'".
std::string describe(const sandbox::FsError &e);

// The exit status named in a failed command's message ("... failed (exit
// N) ..."), if any.
std::optional<int> exit_status_in(std::string_view error);

}  // namespace plexaro::stepcache
