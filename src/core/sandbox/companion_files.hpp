// Companion files on the file system: staged beside their staged primary.
#pragma once

#include "sandbox/companions.hpp"

#include <string>
#include <vector>

namespace plexaro::sandbox {

struct CompanionStageRequest {
    std::string src;                        // the primary on the host
    std::string staged;                     // where the primary landed in the sandbox
    std::vector<CompanionPattern> declared;  // the input's declared patterns
};

// Copies the companions found beside each primary on the host (regular
// files; links followed, as inputs are) into the sandbox beside the staged
// primary, under the primary's staged name with the same pattern applied:
// calls.vcf.gz.tbi beside vcf_calls.vcf.gz becomes vcf_calls.vcf.gz.tbi.
// A name already taken in the sandbox is left as it is (an input given on
// its own under that name keeps it). Returns the staged companion paths of
// each request, in request order.
std::vector<std::vector<std::string>> stage_companions(const std::string &sandbox,
                                                       const std::vector<CompanionStageRequest> &requests);

}  // namespace plexaro::sandbox
