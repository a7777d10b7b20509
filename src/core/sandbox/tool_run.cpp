#include "sandbox/tool_run.hpp"

#include "sandbox/fsops.hpp"
#include "sandbox/glob.hpp"
#include "sandbox/paths.hpp"

#include <cerrno>
#include <sys/stat.h>

namespace plexaro::sandbox {

namespace {

constexpr const char *kProjectFiles[] = {"mivo.toml", "mivo.lock"};
constexpr const char *kShimDir = ".mivo";

void stage_copy(const std::string &src, const std::string &dst) {
    if (is_dir(src)) copy_tree(src, dst, false);
    else copy_file(src, dst);
}

// Regular files at any depth below `dir` (links to files followed, links to
// directories not descended), as paths relative to it.
void regular_files(const std::string &dir, const std::string &rel, std::vector<std::string> &out) {
    std::vector<std::string> names;
    try {
        names = list_dir(dir);
    } catch (const FsError &e) {
        // An unreadable subdirectory is passed over, as the host's walk does.
        if (e.err == EACCES && !rel.empty()) return;
        if (e.err == ENOTDIR) return;
        throw;
    }
    for (const std::string &name : names) {
        std::string full = dir + "/" + name, sub = rel.empty() ? name : rel + "/" + name;
        struct stat lst;
        if (::lstat(full.c_str(), &lst) != 0) continue;
        if (S_ISDIR(lst.st_mode)) regular_files(full, sub, out);
        else if (is_file(full)) out.push_back(sub);
    }
}

}  // namespace

void bring_project(const std::string &mivo_home, const std::string &sandbox) {
    for (const char *name : kProjectFiles) {
        std::string src = path_join({mivo_home, name});
        if (exists(src)) copy_file(src, path_join({sandbox, name}));
    }
    std::string shim_src = path_join({mivo_home, kShimDir}), shim_dst = path_join({sandbox, kShimDir});
    if (exists(shim_src) && !exists(shim_dst)) {
        if (!make_symlink(shim_src, shim_dst)) copy_tree(shim_src, shim_dst, false);
    }
}

std::vector<std::string> stage_inputs(const std::string &sandbox,
                                      const std::vector<StageRequest> &requests) {
    std::vector<std::string> staged;
    staged.reserve(requests.size());
    for (const StageRequest &r : requests) {
        std::string name(path_name(r.src));
        std::string dst = path_join({sandbox, name});
        if (exists(dst)) {
            std::string key = flat_name(r.key);
            dst = path_join({sandbox, key + "_" + name});
            for (int n = 2; exists(dst); ++n)
                dst = path_join({sandbox, key + "_" + std::to_string(n) + "_" + name});
        }
        stage_copy(r.src, dst);
        staged.push_back(std::move(dst));
    }
    return staged;
}

HarvestResult harvest(const HarvestRequest &q) {
    const std::string &sandbox = q.sandbox;
    if (q.captured && !q.capture_slot.empty())
        write_file(path_join({sandbox, q.capture_slot}), *q.captured);

    // The tool has finished: one listing of the sandbox serves every step.
    const std::vector<DirEntry> top = list_dir_typed(sandbox);
    NameSet made;  // directories known to exist now
    auto ensure_dir = [&](const std::string &dir) {
        if (made.count(dir)) return;
        make_dirs(dir);
        made.insert(dir);
    };
    auto parent_of = [](const std::string &path) -> std::string {
        std::size_t slash = path.rfind('/');
        if (slash == std::string::npos) return {};
        return slash == 0 ? std::string("/") : path.substr(0, slash);
    };

    HarvestResult result;
    result.delivered.resize(q.slots.size());
    NameSet harvested_dirs;

    for (std::size_t s = 0; s < q.slots.size(); ++s) {
        const HarvestSlot &slot = q.slots[s];
        std::string slot_dst = path_join({q.output_path, slot.name});
        auto &delivered = result.delivered[s];
        if (slot.is_dir) {
            std::string src_dir = path_join({sandbox, slot.name});
            if (!exists(src_dir)) {
                // The tool replaced the slot's directory by one of its own
                // naming: take it when it is the only candidate.
                std::vector<std::string> others;
                for (const DirEntry &e : top) {
                    if (e.name == kShimDir || q.input_names.count(e.name)) continue;
                    if (is_dir(sandbox, e)) others.push_back(e.name);
                }
                if (others.size() == 1) src_dir = path_join({sandbox, others[0]});
            }
            if (!exists(src_dir)) continue;
            harvested_dirs.emplace(path_name(src_dir));
            ensure_dir(slot_dst);
            std::vector<std::string> files;
            regular_files(src_dir, "", files);
            for (const std::string &rel : files) {
                std::string target = path_join({slot_dst, rel});
                std::string parent = parent_of(target);
                if (!parent.empty()) ensure_dir(parent);
                copy_file(path_join({src_dir, rel}), target);
                delivered.push_back(std::move(target));
            }
        } else {
            std::vector<std::string> candidates;
            std::string pattern = slot.name + "*";
            if (slot.name.find('/') == std::string::npos) {
                NamePattern match(pattern);
                for (const DirEntry &e : top)
                    if (match.matches(e.name) && is_file(sandbox, e) && !q.input_names.count(e.name)) {
                        candidates.push_back(e.name);
                        break;
                    }
            } else {
                for (std::string &rel : glob_in(sandbox, pattern))
                    if (is_file(path_join({sandbox, rel})) && !q.input_names.count(path_name(rel))) {
                        candidates.push_back(std::move(rel));
                        break;
                    }
            }
            if (candidates.empty()) continue;
            std::string parent = parent_of(slot_dst);
            if (!parent.empty()) ensure_dir(parent);
            copy_file(path_join({sandbox, candidates.front()}), slot_dst);
            delivered.push_back(slot_dst);
        }
    }

    NameSet harvested_names;
    for (const auto &paths : result.delivered)
        for (const auto &p : paths) harvested_names.emplace(path_name(p));

    std::string extras = path_join({q.output_path, "_extras"});
    for (const DirEntry &e : top) {
        const std::string &name = e.name;
        if (q.input_names.count(name) || name == kShimDir || name == kProjectFiles[0] ||
            name == kProjectFiles[1])
            continue;
        std::string entry = path_join({sandbox, name});
        if (is_file(sandbox, e)) {
            if (harvested_names.count(name)) continue;
            ensure_dir(extras);
            copy_file(entry, path_join({extras, name}));
        } else if (is_dir(sandbox, e)) {
            if (harvested_dirs.count(name)) continue;
            ensure_dir(extras);
            copy_tree(entry, path_join({extras, name}), true);
        }
    }

    bool nothing = true;
    for (const auto &paths : result.delivered) nothing = nothing && paths.empty();
    if (nothing && q.fallback_stdout) {
        std::string dir = path_join({q.output_path, "stdout"});
        make_dirs(dir);
        std::string file = path_join({dir, q.stdout_file_name});
        write_file(file, *q.fallback_stdout);
        result.stdout_file = std::move(file);
    }
    return result;
}

}  // namespace plexaro::sandbox
