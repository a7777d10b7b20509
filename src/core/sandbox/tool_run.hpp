// The file-system halves of a sandboxed tool run: preparing the sandbox and
// staging inputs into it, and harvesting what the tool wrote into the
// caller's output directory.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace plexaro::sandbox {

using NameSet = std::set<std::string, std::less<>>;

// Project files of the tool manager ("mivo.toml", "mivo.lock") copied in,
// and its ".mivo" directory linked (or, where links are refused, copied).
void bring_project(const std::string &mivo_home, const std::string &sandbox);

// One input path to stage, with the key of the input it belongs to.
struct StageRequest {
    std::string src;
    std::string key;
};

// Copies each source into the sandbox, in order, and returns where each one
// landed. A source is staged under its own name; when that is taken, under
// key + "_" + name; when that is taken too, under key + "_" + N + "_" + name
// for the first free N from 2, so every input keeps its own data.
std::vector<std::string> stage_inputs(const std::string &sandbox,
                                      const std::vector<StageRequest> &requests);

struct HarvestSlot {
    std::string name;
    bool is_dir;
};

struct HarvestRequest {
    std::string sandbox;
    std::string output_path;  // the output directory, spelled as the host's pathlib does
    std::vector<HarvestSlot> slots;
    NameSet input_names;       // names of every staged path
    std::optional<std::string> captured;  // standard output for `capture_slot`
    std::string capture_slot;
    std::optional<std::string> fallback_stdout;  // written when no slot got anything
    std::string stdout_file_name;
};

struct HarvestResult {
    std::vector<std::vector<std::string>> delivered;  // per slot, in slot order
    std::optional<std::string> stdout_file;           // set when the fallback wrote one
};

// Standard-output capture, slot harvest, "_extras" and the standard-output
// fallback, in that order.
HarvestResult harvest(const HarvestRequest &request);

}  // namespace plexaro::sandbox
