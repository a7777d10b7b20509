#include "sandbox/staging.hpp"

#include "common/listing.hpp"
#include "common/path.hpp"
#include "sandbox/paths.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace plexaro::sandbox {

namespace {

std::string kind_of(mode_t mode) {
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

std::string real_path(const std::string &path) {
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer)) return {};
    return buffer;
}

// `path` is `root` or lies below it.
bool within(const std::string &root, const std::string &path) {
    if (path.compare(0, root.size(), root) != 0) return false;
    return path.size() == root.size() || path[root.size()] == '/' || root == "/";
}

RefusedInput refused(RefusedInput::Kind kind, std::size_t input, std::string path,
                     std::string what) {
    RefusedInput r;
    r.kind = kind;
    r.input = input;
    r.path = std::move(path);
    r.what_it_is = std::move(what);
    return r;
}

files::FileIdentity identity_of(const struct stat &st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size), files::nanoseconds(st.st_mtim)};
}

// Walks the inputs as staging sees them; without a rule it only checks.
class Stager {
public:
    explicit Stager(const StagingRule *rule) : rule_(rule) {
        if (rule_)
            place_.may_link = [rule](const struct stat &st) {
                if (rule->mode == StagingRule::Mode::copy) return false;
                // The sandbox is open to the container's user: a file others
                // may write would become writable through it.
                if (st.st_mode & (S_IWGRP | S_IWOTH | S_ISUID | S_ISGID)) return false;
                return rule->mode == StagingRule::Mode::link ||
                       static_cast<std::uint64_t>(st.st_size) >= rule->link_min;
            };
    }

    // One input source at `dst`.
    void put(std::size_t input, const std::string &src, const std::string &dst) {
        struct stat st;
        if (::stat(src.c_str(), &st) != 0) {
            if (checking()) return;
            throw FsError(errno, src);
        }
        if (S_ISREG(st.st_mode)) {
            if (!checking()) file(input, src, dst, false);
            return;
        }
        if (!S_ISDIR(st.st_mode))
            throw refused(RefusedInput::Kind::special, input, src, kind_of(st.st_mode));
        if (!checking() && lexists(dst)) throw FsError(EEXIST, dst);
        std::vector<std::pair<dev_t, ino_t>> above{{st.st_dev, st.st_ino}};
        TreeCopyError errors;
        tree(input, src, dst, real_path(src), above, errors, true);
        if (!errors.failures.empty()) throw errors;
    }

    std::vector<LinkedInput> linked;

private:
    bool checking() const { return rule_ == nullptr; }

    void file(std::size_t input, const std::string &src, const std::string &dst, bool confined) {
        place_.confined = confined;
        Placed placed = place_file(src, dst, place_);
        if (placed.linked)
            linked.push_back({input, src, identity_of(placed.source),
                              static_cast<unsigned>(placed.source.st_mode)});
    }

    // The tree below `dir` at `dst`: new directories with the permission bits
    // and times of the host's, files put in place one by one. Failures are
    // gathered as a tree copy's are; refusals end the walk.
    void tree(std::size_t input, const std::string &dir, const std::string &dst,
              const std::string &root, std::vector<std::pair<dev_t, ino_t>> &above,
              TreeCopyError &errors, bool top) {
        std::vector<DirEntry> entries;
        if (int error = files::list_directory(dir, entries)) {
            if (checking()) return;
            if (top) throw FsError(error, dir);
            errors.failures.push_back({dir, dst, FsError(error, dir)});
            return;
        }
        if (!checking()) {
            try {
                make_dirs(dst);
            } catch (FsError &e) {
                if (top) throw;
                errors.failures.push_back({dir, dst, std::move(e)});
                return;
            }
        }
        for (const DirEntry &entry : entries) {
            std::string s = files::join_path(dir, entry.name),
                        d = files::join_path(dst, entry.name);
            struct stat st;
            if (::lstat(s.c_str(), &st) != 0) {
                if (!checking()) errors.failures.push_back({s, d, FsError(errno, s)});
                continue;
            }
            std::string source = s;
            if (S_ISLNK(st.st_mode)) {
                // A dangling link fails as its copy would.
                if (::stat(s.c_str(), &st) != 0) {
                    if (!checking()) errors.failures.push_back({s, d, FsError(errno, s)});
                    continue;
                }
                source = real_path(s);
                if (!within(root, source))
                    throw refused(RefusedInput::Kind::link_out, input, s, source);
            }
            if (S_ISDIR(st.st_mode)) {
                for (const auto &[dev, ino] : above)
                    if (dev == st.st_dev && ino == st.st_ino)
                        throw refused(RefusedInput::Kind::link_loop, input, s, source);
                above.emplace_back(st.st_dev, st.st_ino);
                tree(input, source, d, root, above, errors, false);
                above.pop_back();
            } else if (!S_ISREG(st.st_mode)) {
                throw refused(RefusedInput::Kind::holds_special, input, s, kind_of(st.st_mode));
            } else if (!checking()) {
                try {
                    file(input, source, d, true);
                } catch (FsError &e) {
                    errors.failures.push_back({s, d, std::move(e)});
                }
            }
        }
        if (checking()) return;
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0) {
            errors.failures.push_back({dir, dst, FsError(errno, dir)});
            return;
        }
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (::utimensat(AT_FDCWD, dst.c_str(), times, 0) != 0 ||
            ::chmod(dst.c_str(), st.st_mode & 07777) != 0)
            errors.failures.push_back({dir, dst, FsError(errno, dst)});
    }

    const StagingRule *rule_;
    PlaceRule place_;
};

}  // namespace

void check_inputs(const StepPlan &plan) {
    Stager checker(nullptr);
    for (const StagedInput &s : plan.staged)
        for (const std::string &src : s.sources) checker.put(s.input, src, {});
}

std::vector<LinkedInput> stage(const std::string &sandbox, const StepPlan &plan,
                               const StagingRule &rule) {
    Stager stager(&rule);
    for (const StagedInput &s : plan.staged)
        for (std::size_t k = 0; k < s.sources.size(); ++k)
            stager.put(s.input, s.sources[k], path_join({sandbox, s.names[k]}));
    for (std::size_t i = 0; i < plan.companions.size() && i < plan.staged.size(); ++i)
        for (const auto &per_source : plan.companions[i])
            for (const CompanionCopy &c : per_source)
                stager.put(plan.staged[i].input, c.src, path_join({sandbox, c.name}));
    return std::move(stager.linked);
}

std::vector<const LinkedInput *> changed_inputs(const std::vector<LinkedInput> &linked) {
    std::vector<const LinkedInput *> changed;
    for (const LinkedInput &in : linked) {
        struct stat st;
        // The tool cannot remove the host's name; a failure to look is not its doing.
        if (::stat(in.host_path.c_str(), &st) != 0) continue;
        if (identity_of(st) != in.identity || static_cast<unsigned>(st.st_mode) != in.mode)
            changed.push_back(&in);
    }
    return changed;
}

}  // namespace plexaro::sandbox
