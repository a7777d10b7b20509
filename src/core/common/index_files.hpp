// The index files that tools write beside a data file and look for by name
// (htslib, samtools faidx, bgzip): one list for every part of the layer.
#pragma once

#include <string_view>

namespace plexaro::files {

// The well-known index suffixes ("x.bam" -> "x.bam.bai"), in the order
// companions are listed.
inline constexpr std::string_view kIndexSuffixes[] = {".bai", ".crai", ".csi",
                                                      ".tbi", ".fai",  ".gzi"};

}  // namespace plexaro::files
