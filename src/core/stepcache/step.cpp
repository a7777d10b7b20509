#include "stepcache/step.hpp"

#include "common/path.hpp"
#include "common/text.hpp"
#include "sandbox/fsops.hpp"
#include "stepcache/key.hpp"

#include <charconv>
#include <cstring>
#include <sys/stat.h>

namespace plexaro::stepcache {

namespace sb = plexaro::sandbox;

namespace {

constexpr std::size_t kMaxErrorText = 1000;  // code points of the first line

// A path below the working directory "." is spelled without "./".
std::string join_path(const std::string &dir, const std::string &rel) {
    return dir == "." ? rel : files::join_path(dir, rel);
}

}  // namespace

std::string describe(const sb::FsError &e) {
    std::string text =
        e.kind == sb::FsError::Kind::os ? std::strerror(e.err) : "not a regular file";
    text += ": '" + e.path + "'";
    if (e.has_path2) text += " -> '" + e.path2 + "'";
    return text;
}

std::optional<int> exit_status_in(std::string_view error) {
    constexpr std::string_view kMark = "(exit ";
    std::size_t at = error.find(kMark);
    if (at == std::string_view::npos) return std::nullopt;
    const char *begin = error.data() + at + kMark.size(), *end = error.data() + error.size();
    int status = 0;
    auto [stop, ec] = std::from_chars(begin, end, status);
    if (ec != std::errc() || stop == end || *stop != ')') return std::nullopt;
    return status;
}

CachedStep::CachedStep(Settings settings, StepFacts facts, std::string output_path)
    : settings_(std::move(settings)),
      facts_(std::move(facts)),
      output_path_(std::move(output_path)),
      started_(std::chrono::system_clock::now()),
      clock_(std::chrono::steady_clock::now()) {
    if (settings_.dir) cache_.emplace(*settings_.dir, settings_.size_limit, settings_.hard_links);
    // An input's identity leaves its change time out: staging a large input
    // by hard link moves it, and every such step would otherwise look as if
    // its input changed while it ran (and never be stored).
    hashes_ = std::make_unique<ContentHashes>(cache_ ? cache_->hashes_dir() : std::string(),
                                              /*change_time=*/false);
    try {
        for (const StepInput &in : facts_.inputs) contents_.push_back(hashes_->of(in.source));
    } catch (const sb::FsError &e) {
        contents_.clear();
        if (cache_) warn("step cache not used for this run: cannot read input " + describe(e));
        return;
    }
    if (!cache_) return;
    StepKeyParts parts;
    parts.tool = facts_.tool;
    parts.manifest = facts_.manifest;
    parts.words = facts_.words;
    parts.scalars = facts_.scalars;
    for (std::size_t i = 0; i < facts_.inputs.size(); ++i)
        parts.files.push_back(
            {facts_.inputs[i].input, facts_.inputs[i].staged_name, contents_[i].digest});
    parts.environment = settings_.environment;
    key_ = step_key(parts);
}

RunRecord CachedStep::base_record(std::vector<std::string> words) const {
    RunRecord r;
    r.tool = facts_.tool;
    r.image = facts_.image;
    r.words = std::move(words);
    for (std::size_t i = 0; i < facts_.inputs.size(); ++i) {
        RunFile f{facts_.inputs[i].input, facts_.inputs[i].source, 0, std::nullopt};
        if (i < contents_.size()) {
            f.size = contents_[i].size;
            f.hash = "xxh3-128:" + contents_[i].digest.hex();
        }
        r.inputs.push_back(std::move(f));
    }
    auto now = std::chrono::system_clock::now();
    r.started = utc_timestamp(started_);
    r.ended = utc_timestamp(now);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - clock_).count();
    r.key = key_;
    r.execution = execution_;
    return r;
}

void CachedStep::add_outputs(RunRecord &record, const PlacedOutputs &outputs) const {
    for (const std::string &rel : outputs.files) {
        RunFile f{"", join_path(output_path_, rel), 0, std::nullopt};
        for (const EntrySlot &slot : outputs.slots)
            for (const std::string &d : slot.delivered)
                if (d == rel && f.name.empty()) f.name = slot.name;
        struct stat st;
        if (::stat(f.path.c_str(), &st) == 0) f.size = (std::uint64_t)st.st_size;
        record.outputs.push_back(std::move(f));
    }
}

void CachedStep::log(RunRecord record) {
    std::string line = run_record_line(record);
    std::vector<std::string> logs;
    if (cache_) logs.push_back(cache_->run_log());
    if (settings_.run_log && (logs.empty() || *settings_.run_log != logs.front()))
        logs.push_back(*settings_.run_log);
    for (const std::string &path : logs) {
        try {
            if (cache_ && path == cache_->run_log()) sb::make_dirs(cache_->dir());
            append_line(path, line);
        } catch (const sb::FsError &e) {
            warn("run log not written: " + describe(e));
        }
    }
}

std::optional<EntryRecord> CachedStep::reuse() {
    if (!cache_ || !key_) return std::nullopt;
    std::optional<Hit> hit = cache_->find(*key_);
    if (!hit) return std::nullopt;
    // The slots are part of the key; an entry for other slots is no match.
    if (hit->record.slots.size() != facts_.slots.size()) return std::nullopt;
    for (std::size_t i = 0; i < facts_.slots.size(); ++i)
        if (hit->record.slots[i].name != facts_.slots[i]) return std::nullopt;
    try {
        if (!cache_->place(*hit, output_path_)) return std::nullopt;
    } catch (const sb::FsError &e) {
        warn("cached step not reused: " + describe(e));
        return std::nullopt;
    }
    cache_->touch(*hit);
    RunRecord record = base_record(hit->record.words);
    PlacedOutputs placed;
    for (const EntryFile &f : hit->record.files) placed.files.push_back(f.rel);
    placed.slots = hit->record.slots;
    add_outputs(record, placed);
    record.exit_status = 0;
    record.cache_hit = true;
    log(std::move(record));
    return std::move(hit->record);
}

void CachedStep::succeeded(std::vector<std::string> words_run, PlacedOutputs outputs) {
    RunRecord record = base_record(words_run);
    add_outputs(record, outputs);
    record.exit_status = 0;
    if (cache_ && key_) {
        if (!hashes_->unchanged()) {
            warn("step not cached: an input changed while the step ran");
        } else {
            EntryRecord entry;
            entry.tool = facts_.tool;
            entry.words = std::move(words_run);
            entry.started = record.started;
            entry.ended = record.ended;
            entry.seconds = record.seconds;
            entry.dirs = std::move(outputs.dirs);
            for (std::string &rel : outputs.files) entry.files.push_back({std::move(rel)});
            entry.slots = std::move(outputs.slots);
            entry.stdout_file = std::move(outputs.stdout_file);
            try {
                if (cache_->store(*key_, std::move(entry), output_path_) ==
                    StepCache::Stored::too_large)
                    warn("step not cached: its outputs are larger than the cache's size limit");
                cache_->evict();
            } catch (const sb::FsError &e) {
                warn("step not cached: " + describe(e));
            }
        }
    }
    log(std::move(record));
}

void CachedStep::failed(std::vector<std::string> words_run, std::string error) {
    RunRecord record = base_record(std::move(words_run));
    record.exit_status = exit_status_in(error);
    std::size_t line_end = error.find('\n');
    if (line_end != std::string::npos) error.resize(line_end);
    error = std::string(text::cut_code_points(error, kMaxErrorText));
    record.error = std::move(error);
    log(std::move(record));
}

}  // namespace plexaro::stepcache
