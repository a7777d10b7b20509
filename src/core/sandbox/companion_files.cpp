#include "sandbox/companion_files.hpp"

#include "sandbox/fsops.hpp"
#include "sandbox/paths.hpp"

namespace plexaro::sandbox {

namespace {

// The path up to its final component, as it was given ("" for a bare
// name): "a/b/x.bam/." gives "a/b/".
std::string directory_of(const std::string &path) {
    std::string_view name = path_name(path);
    return path.substr(0, (std::size_t) (name.data() - path.data()));
}

}  // namespace

std::vector<std::vector<std::string>> stage_companions(const std::string &sandbox,
                                                       const std::vector<CompanionStageRequest> &requests) {
    std::vector<std::vector<std::string>> staged(requests.size());
    for (std::size_t r = 0; r < requests.size(); ++r) {
        const CompanionStageRequest &q = requests[r];
        std::string_view primary = path_name(q.src);
        std::string_view staged_name = path_name(q.staged);
        if (primary.empty() || staged_name.empty()) continue;
        std::string src_dir = directory_of(q.src);
        for (const Companion &c : companions_of(primary, q.declared)) {
            std::string src = src_dir + c.name;
            if (!is_file(src)) continue;
            std::optional<std::string> name = companion_name(staged_name, c.pattern);
            if (!name) continue;
            std::string dst = path_join({sandbox, *name});
            if (lexists(dst)) continue;
            copy_file(src, dst);
            staged[r].push_back(std::move(dst));
        }
    }
    return staged;
}

}  // namespace plexaro::sandbox
