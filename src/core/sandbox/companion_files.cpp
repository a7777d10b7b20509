#include "sandbox/companion_files.hpp"

#include "sandbox/fsops.hpp"
#include "sandbox/paths.hpp"

namespace plexaro::sandbox {

namespace {

// The path up to its final component, as it was given ("" for a bare
// name): "a/b/x.bam/." gives "a/b/".
std::string directory_of(const std::string &path, std::string_view name) {
    return path.substr(0, (std::size_t)(name.data() - path.data()));
}

}  // namespace

std::vector<std::vector<CompanionCopy>> plan_companions(const std::vector<CompanionSource> &sources,
                                                        std::set<std::string, std::less<>> &taken) {
    std::vector<std::vector<CompanionCopy>> plan(sources.size());
    for (std::size_t r = 0; r < sources.size(); ++r) {
        const CompanionSource &s = sources[r];
        std::string_view primary = path_name(s.src);
        if (primary.empty() || s.staged_name.empty()) continue;
        std::string src_dir = directory_of(s.src, primary);
        for (const Companion &c : companions_of(primary, s.declared)) {
            std::optional<std::string> name = companion_name(s.staged_name, c.pattern);
            if (!name || taken.count(*name)) continue;
            std::string src = src_dir + c.name;
            if (!is_file(src)) continue;
            taken.insert(*name);
            plan[r].push_back({std::move(src), std::move(*name)});
        }
    }
    return plan;
}

void stage_companions(const std::string &sandbox,
                      const std::vector<std::vector<CompanionCopy>> &plan) {
    for (const auto &copies : plan)
        for (const CompanionCopy &c : copies) copy_file(c.src, path_join({sandbox, c.name}));
}

}  // namespace plexaro::sandbox
