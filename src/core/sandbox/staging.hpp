// Putting a step's inputs into its sandbox. Each file is copied or
// hard-linked as the staging rule says; a directory input becomes a tree of
// new directories whose files follow the same rule. Only regular files and
// directories are ever opened: a special file (device, named pipe, socket)
// given as an input or found in a directory input is refused, and so is a
// link in a directory input that leads out of it or back above itself.
#pragma once

#include "common/files.hpp"
#include "sandbox/step_plan.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace plexaro::sandbox {

struct StagingRule {
    enum class Mode {
        copy,       // every file copied
        link,       // every file linked where the file system allows it
        automatic,  // files of at least `link_min` bytes linked, smaller ones copied
    };
    Mode mode = Mode::automatic;
    std::uint64_t link_min = std::uint64_t(64) << 20;
};

// An input that is not staged, and why.
struct RefusedInput : std::exception {
    enum class Kind {
        special,        // the input itself is a special file
        holds_special,  // a directory input holds one
        link_out,       // a link in a directory input leads out of it
        link_loop,      // a link in a directory input leads back to a directory above it
    };
    Kind kind = Kind::special;
    std::size_t input = 0;   // index into StepRequest::inputs
    std::string path;        // the entry refused
    std::string what_it_is;  // "a named pipe", "a character device", ...; for link_out the target
    const char *what() const noexcept override { return "input refused"; }
};

// A host file staged as a hard link, as it was when linked: a tool writing
// into the sandbox entry in place writes into the host's file.
struct LinkedInput {
    std::size_t input = 0;  // index into StepRequest::inputs
    std::string host_path;
    files::FileIdentity identity;
    unsigned mode = 0;  // permission bits and file type
};

// Throws RefusedInput for the first staged source (in plan order) that
// staging would refuse; touches nothing.
void check_inputs(const StepPlan &plan);

// Puts every staged source, then every companion, at its planned place in
// the sandbox (links in the host's inputs are followed, within a directory
// input only inside it). Returns the host files that became hard links.
// Failures inside a directory input are gathered into a TreeCopyError.
std::vector<LinkedInput> stage(const std::string &sandbox, const StepPlan &plan,
                               const StagingRule &rule = {});

// The linked inputs whose host file is no longer what was linked (size,
// modification time, inode or permission bits changed), in staging order.
std::vector<const LinkedInput *> changed_inputs(const std::vector<LinkedInput> &linked);

}  // namespace plexaro::sandbox
