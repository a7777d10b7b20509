// The manifest keys for companion files, read and checked before a tool run
// touches anything: "secondary_files" on an input or output record and
// "from_input" on an output record.
#pragma once

#include "mivo/mivo.hpp"
#include "sandbox/companions.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace plexaro::mivo_binding {

using Patterns = std::vector<sandbox::CompanionPattern>;

struct OutputCompanions {
    Patterns patterns;
    std::optional<std::string> from_input;  // an input key (UTF-8)
};

struct CompanionKeys {
    std::map<std::string, Patterns, std::less<>> inputs;           // by input key
    std::map<std::string, OutputCompanions, std::less<>> outputs;  // by slot name
};

// Reads manifest["inputs"][key] and manifest["outputs"][slot]. Records that
// are not mappings, keys that are not text, and a missing or None value mean
// "nothing declared", so a manifest without the keys reads as empty. A
// declared value of the wrong kind raises TypeError, a pattern that names no
// file beside its primary raises ValueError.
CompanionKeys read_companion_keys(nb::dict manifest);

}  // namespace plexaro::mivo_binding
