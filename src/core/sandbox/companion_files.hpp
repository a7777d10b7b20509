// Companion files of the inputs: found beside each input on the host and
// staged beside its staged copy.
#pragma once

#include "sandbox/companions.hpp"

#include <set>
#include <string>
#include <vector>

namespace plexaro::sandbox {

struct CompanionSource {
    std::string src;                         // the primary on the host
    std::string staged_name;                 // the primary's name in the sandbox
    std::vector<CompanionPattern> declared;  // the input's declared patterns
};

// One companion to copy: host path and sandbox name.
struct CompanionCopy {
    std::string src;
    std::string name;
};

// The companions found beside each primary on the host (regular files;
// links followed, as for inputs), each under the primary's staged name with
// the same pattern applied: calls.vcf.gz.tbi beside the primary staged as
// vcf_calls.vcf.gz becomes vcf_calls.vcf.gz.tbi. A name in `taken` (an
// input given on its own under that name, say) is left to its owner; the
// names chosen are added to `taken`. One list per source, in source order.
std::vector<std::vector<CompanionCopy>> plan_companions(const std::vector<CompanionSource> &sources,
                                                        std::set<std::string, std::less<>> &taken);

// Copies the planned companions into the sandbox.
void stage_companions(const std::string &sandbox,
                      const std::vector<std::vector<CompanionCopy>> &plan);

}  // namespace plexaro::sandbox
