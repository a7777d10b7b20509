// Collecting what a tool left in its sandbox into the caller's output
// directory. The sandbox is untrusted: only regular files that really lie in
// it are read, no link leading out of it and no directory link is followed,
// special files (FIFO, socket, device) are never opened, and nothing is
// written through a link.
#pragma once

#include "sandbox/companions.hpp"
#include "sandbox/fsops.hpp"

#include <optional>
#include <string>
#include <vector>

namespace plexaro::sandbox {

// How one output slot is filled: a directory slot takes the tree of the
// sandbox directory of its name; a file slot takes one sandbox file whose
// name starts with the slot name (glob characters in it act as wildcards),
// else the one file whose name ends in "." + the slot name. A slot that
// hands on an input takes that input's staged entry instead. The file is
// delivered under the slot's name, or under its own when that is the slot's
// name plus an extension (see delivered_name); its companions are delivered
// beside it, named after it.
struct SlotRule {
    std::string name;
    bool is_dir = false;
    bool from_input = false;
    std::string input_name;  // the staged entry handed on ("" when nothing was staged)
    std::vector<CompanionPattern> companions;  // declared patterns
    // A directory slot the layer made before the run; when it did not (the
    // tool makes its own), a missing directory leaves the slot empty.
    bool made_before_run = true;
};

// A staged input whose companions the tool may write beside it (an index
// step): they are delivered under their sandbox names.
struct InputCompanions {
    std::string name;                          // the staged entry
    std::vector<CompanionPattern> companions;  // declared patterns
};

struct HarvestRequest {
    std::string sandbox;
    std::string output_path;  // the output directory, spelled as the host's pathlib does
    std::vector<SlotRule> slots;
    NameSet input_names;  // sandbox names of every staged input
    // The tool's standard output, saved in a file outside the sandbox
    // ("" when there is none). With `capture_slot` it becomes the sandbox
    // entry of that name (the entry is replaced, never written through);
    // otherwise it is the text kept when no slot received anything.
    std::string stdout_path;
    std::optional<std::string> capture_slot;
    // The tool's standard error saved likewise, for `stderr_slot` only.
    std::string stderr_path;
    std::optional<std::string> stderr_slot;
    std::vector<InputCompanions> input_companions;
    std::string stdout_file_name;  // name of that text under output/"stdout"
};

// An entry left where it was, and why.
struct Skipped {
    std::string path;
    std::string why;
};

struct HarvestResult {
    std::vector<std::vector<std::string>> delivered;   // per slot, in slot order
    std::vector<std::vector<std::string>> companions;  // per slot: companions delivered beside it
    std::vector<std::string> input_companions;         // companions written beside staged inputs
    std::optional<std::string> stdout_file;            // set when the text was kept
    std::vector<Skipped> skipped;
    // Everything the harvest wrote, relative to the output directory, in
    // order: the directories it made (or found there) and the files it
    // copied, so a caller can keep a record of the step's output tree.
    std::vector<std::string> dirs_written, files_written;
};

// Capture, slot harvest, companions written beside the inputs, "_extras"
// and the standard-output text, in order. Delivered companions are not put
// aside again.
HarvestResult harvest(const HarvestRequest &request);

// The file a slot takes among the names that match it: the exact name, else
// the shortest name, else the first by byte order.
const std::string *choose_candidate(const std::vector<std::string> &names, const std::string &slot);

// The name a file slot's file is delivered under, given the sandbox name
// (a relative path) of the file it took: that name itself when it is the
// slot's name plus an extension ("trimmed.fq.gz" for "trimmed": a "." and
// at least one more character, no "/"), so the file keeps its type; the
// slot's name otherwise.
std::string delivered_name(const std::string &slot, const std::string &taken);

}  // namespace plexaro::sandbox
