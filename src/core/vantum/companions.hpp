// The companions of a data file: the index files that tools write beside it
// and look for by name (htslib, samtools faidx, bgzip).
#pragma once

#include "common/index_files.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace plexaro::vantum {

using files::kIndexSuffixes;

// Existing regular files (links followed) named `path` plus an index
// suffix, then, for a name ending in ".bam", the name without it plus
// ".bai" (htslib's other place for a BAM index). An output delivered under
// its slot's name ("bam") thus finds the companions delivered beside it
// ("bam.bai").
std::vector<std::string> companions_of(const std::string &path);

}  // namespace plexaro::vantum
