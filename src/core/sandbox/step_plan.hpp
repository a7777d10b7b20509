// The plan of one tool run, decided from plain values before anything is
// copied: where each input lands in the sandbox, which texts fill the
// template's placeholders, the words the tool gets and the output slot that
// receives its standard output.
#pragma once

#include "sandbox/companion_files.hpp"
#include "sandbox/companions.hpp"
#include "sandbox/fsops.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plexaro::sandbox {

// One input value as the host gave it, already sorted by kind.
struct PlanInput {
    enum class Kind {
        path,     // one existing host path
        paths,    // a list with at least one existing host path
        scalar,   // text for the placeholder
        ignored,  // takes part in nothing
    };
    std::string key;     // placeholder name (UTF-8)
    std::string key_fs;  // file-system spelling, for alternative staging names
    Kind kind = Kind::ignored;
    std::vector<std::string> sources;          // path, paths: the host paths in order
    std::string text;                          // scalar
    std::vector<CompanionPattern> companions;  // declared companion patterns
};

struct PlanOutput {
    std::string name;  // placeholder name (UTF-8)
    bool is_dir = false;
    // The key of the input this slot hands on (with its companions) instead
    // of a file the tool writes.
    std::optional<std::string> from_input;
    std::vector<CompanionPattern> companions;  // declared companion patterns
    // Appended to the slot's name where "{slot}" is written ("" for none):
    // a tool that picks its output type by the file name gets the name it
    // needs ("trimmed.fq.gz"). File slots only.
    std::string extension = {};
};

struct StepRequest {
    std::vector<PlanInput> inputs;    // in input order ("output_dir" left out)
    std::vector<PlanOutput> outputs;  // in manifest order
    std::string args_template;        // "" when the tool has none
    std::string executable;           // entrypoint, else the tool name
    NameSet taken;                    // entries already in the sandbox (project files)
    // A staged entry name (file-system spelling) as the tool's words spell it.
    std::function<std::string(const std::string &)> name_text = [](const std::string &s) {
        return s;
    };
};

// Where one path input lands: one sandbox entry name per source.
struct StagedInput {
    std::size_t input = 0;  // index into StepRequest::inputs
    bool is_list = false;
    std::vector<std::string> sources;
    std::vector<std::string> names;  // file-system spelling, unique in the sandbox
};

struct StepPlan {
    std::vector<StagedInput> staged;  // in input order
    NameSet input_names;              // every staged entry name
    std::vector<std::string> words;   // the tool's arguments after the executable
    // The sandbox names fed by "> {slot}" and "2> {slot}" (the slot's name
    // with its extension).
    std::optional<std::string> capture_slot;
    std::optional<std::string> stderr_slot;
    std::optional<std::string> stdin_name;  // staged entry read by "< {input}"
    // Per output: the index into `staged` of the input a "from_input" slot
    // hands on; none for other slots and when that input was not staged.
    std::vector<std::optional<std::size_t>> from_staged;
    // Per entry of `staged`, per source: the companions staged beside it.
    std::vector<std::vector<std::vector<CompanionCopy>>> companions;
};

// The whole plan but the companions. Throws SplitError for an unbalanced
// quote in the substituted template.
StepPlan plan_step(const StepRequest &request);

// Adds to the plan the companions found beside each staged source on the
// host (and their names to `input_names`). They are placed after every
// input, so an input given on its own keeps the name it always had.
void plan_input_companions(const StepRequest &request, StepPlan &plan);

// A source is staged under its own name; when that is taken, under
// key + "_" + name; then key + "_" + N + "_" + name for the first free N
// from 2, so every input keeps its own data. Keys become flat names.
std::string staging_name(const std::string &source, const std::string &key_fs,
                         const NameSet &taken);

// Putting the plan's inputs into the sandbox: sandbox/staging.hpp.

}  // namespace plexaro::sandbox
