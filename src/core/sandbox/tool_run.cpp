#include "sandbox/tool_run.hpp"

#include "sandbox/fsops.hpp"
#include "sandbox/paths.hpp"

namespace plexaro::sandbox {

namespace {

constexpr const char *kProjectFiles[] = {"mivo.toml", "mivo.lock"};
constexpr const char *kShimDir = ".mivo";

}  // namespace

void bring_project(const std::string &mivo_home, const std::string &sandbox) {
    for (const char *name : kProjectFiles) {
        std::string src = path_join({mivo_home, name});
        if (exists(src)) copy_file(src, path_join({sandbox, name}));
    }
    std::string shim_src = path_join({mivo_home, kShimDir}),
                shim_dst = path_join({sandbox, kShimDir});
    if (exists(shim_src) && !lexists(shim_dst)) {
        if (!make_symlink(shim_src, shim_dst)) copy_tree(shim_src, shim_dst, false);
    }
}

NameSet project_entries(const std::string &mivo_home) {
    NameSet names;
    for (const char *name : kProjectFiles)
        if (exists(path_join({mivo_home, name}))) names.insert(name);
    if (exists(path_join({mivo_home, kShimDir}))) names.insert(kShimDir);
    return names;
}

}  // namespace plexaro::sandbox
