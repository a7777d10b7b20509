// The key of one step: everything that decides what the tool writes. Two
// runs with equal keys are taken to produce equal outputs.
#pragma once

#include "stepcache/digest.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plexaro::stepcache {

// One file the tool reads, under the name it has in the sandbox. Companion
// files (indexes beside their data) are more entries of the same kind.
struct KeyFile {
    std::string input;        // the input it belongs to
    std::string staged_name;  // its name in the sandbox
    Digest content;
};

struct StepKeyParts {
    std::string tool;
    // Manifest entries that shape the run, each as (entry, canonical text).
    std::vector<std::pair<std::string, std::string>> manifest;
    std::vector<std::string> words;                            // the executable, then its arguments
    std::vector<std::pair<std::string, std::string>> scalars;  // input key, text
    std::vector<KeyFile> files;
    // Environment variables the host listed: name, value (nullopt: unset).
    std::vector<std::pair<std::string, std::optional<std::string>>> environment;
};

// 32 hexadecimal digits. Every part is length-prefixed and counted, so no
// two different sets of parts run together into the same bytes.
std::string step_key(const StepKeyParts &parts);

// The variable names of a list such as "OMP_NUM_THREADS, LC_ALL" (commas
// and white space separate), sorted, each once.
std::vector<std::string> listed_variables(std::string_view list);

// A size such as "1073741824", "500M", "20G", "1.5TiB" (binary multiples,
// case ignored) in bytes; nullopt for anything else.
std::optional<std::uint64_t> parse_size(std::string_view text);

}  // namespace plexaro::stepcache
