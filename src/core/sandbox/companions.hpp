// Companion files: indexes and other secondary files that travel with a
// primary file (x.bam with x.bam.bai, ref.fa with ref.fa.fai and bwa's five
// index files). A manifest names them by patterns over the primary's name;
// the common index files travel without being named.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::sandbox {

// One pattern: `carets` extensions are removed from the primary's name,
// then `suffix` is appended. "^.bai" on "x.bam" names "x.bai"; ".bai"
// names "x.bam.bai".
struct CompanionPattern {
    unsigned carets = 0;
    std::string suffix;

    bool operator==(const CompanionPattern &o) const {
        return carets == o.carets && suffix == o.suffix;
    }
};

// Reads a declared pattern: leading "^"s, then a suffix. A trailing "?"
// (optional companion) is accepted and changes nothing, since a companion
// that is not there is always skipped. Returns the reason a pattern cannot
// name a file beside its primary (no suffix, a "/" or a NUL in it), or "".
std::string parse_companion_pattern(std::string_view text, CompanionPattern &out);

// The name without its last extension (the last "." and what follows it);
// a name whose only "." leads it, or that has none, is returned whole.
std::string_view without_extension(std::string_view name);

// The companion's name for a primary named `primary` (a final component).
// None when the pattern would name the primary itself or a name that is
// not a plain file name ("..", ".").
std::optional<std::string> companion_name(std::string_view primary,
                                          const CompanionPattern &pattern);

// Index files that travel with any primary, declared or not: the suffixes
// htslib and samtools look for beside their data (.bai .crai .csi .tbi
// .fai .gzi), and for x.bam / x.cram also x.bai / x.crai.
std::vector<CompanionPattern> well_known_patterns(std::string_view primary);

// The companions to look for beside a primary named `primary`: the declared
// patterns, then the well-known ones, each name once (the first pattern
// that names it is kept).
struct Companion {
    std::string name;          // beside the primary
    CompanionPattern pattern;  // gives the name beside the primary's new name
};
std::vector<Companion> companions_of(std::string_view primary,
                                     const std::vector<CompanionPattern> &declared);

// The companions present beside a primary named `primary`, each with the
// name it takes beside the primary's new name `delivered` (a staged name or
// an output slot's name): x.bam.bai beside x.bam becomes bam.bai beside
// bam. `present` says whether a name is there to take. Two companions that
// would take one new name: the first keeps it.
struct CompanionDelivery {
    std::string from;
    std::string to;
};
std::vector<CompanionDelivery> companion_deliveries(
    std::string_view primary, std::string_view delivered,
    const std::vector<CompanionPattern> &declared,
    const std::function<bool(const std::string &)> &present);

// A file slot's fallback match when no candidate starts with the slot's
// name: the one name ending in "." + slot (slot "bai" takes "x.bam.bai").
// None with no such name or with several.
std::optional<std::string> suffix_match(std::string_view slot,
                                        const std::vector<std::string> &names);

}  // namespace plexaro::sandbox
