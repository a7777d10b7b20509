#include "sandbox/harvest.hpp"

#include "common/files.hpp"
#include "common/path.hpp"
#include "common/unique_fd.hpp"
#include "sandbox/glob.hpp"
#include "sandbox/paths.hpp"
#include "sandbox/streams.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string_view>
#include <unordered_map>

namespace plexaro::sandbox {

namespace {

constexpr const char *kShimDir = ".mivo";
constexpr const char *kProjectFiles[] = {"mivo.toml", "mivo.lock"};

std::string real_path(const std::string &path) {
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer)) return {};
    return buffer;
}

// The directory part of a path, "" for a bare name.
std::string parent_of(const std::string &path) {
    return path.find('/') == std::string::npos ? std::string() : files::parent_directory(path);
}

// What an entry of the sandbox is, for the harvest.
struct Entry {
    enum Kind { file, dir, skip, gone } kind = gone;
    std::string source;  // the regular file to read (a link inside the sandbox resolved)
    std::string why;     // for skip
};

class Sandbox {
public:
    explicit Sandbox(const std::string &path) : path_(path), real_(real_path(path)) {}

    bool inside(const std::string &resolved) const {
        return !real_.empty() && resolved.size() > real_.size() &&
               resolved.compare(0, real_.size(), real_) == 0 && resolved[real_.size()] == '/';
    }

    // `in_real_dir`: the entry's directory is known to be a real directory
    // of the sandbox (reached without following a link), so only a link
    // needs resolving.
    Entry look(const std::string &path, bool in_real_dir) const {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return {};
        if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) {
            // A linked directory on the way to the entry is not followed.
            std::string resolved = in_real_dir ? path : real_path(path);
            if (!in_real_dir && !inside(resolved))
                return {Entry::skip, {}, "it lies outside the sandbox"};
            return {S_ISDIR(st.st_mode) ? Entry::dir : Entry::file, resolved, {}};
        }
        if (S_ISLNK(st.st_mode)) {
            std::string resolved = real_path(path);
            if (resolved.empty()) return {};  // dangling
            if (!inside(resolved))
                return {Entry::skip, {}, "a link that leads outside the sandbox"};
            struct stat target;
            if (::lstat(resolved.c_str(), &target) != 0) return {};
            if (S_ISREG(target.st_mode)) return {Entry::file, resolved, {}};
            if (S_ISDIR(target.st_mode)) return {Entry::skip, {}, "a link to a directory"};
            return {Entry::skip, {}, "a link to a special file"};
        }
        return {Entry::skip, {}, "a special file"};
    }

    const std::string &path() const { return path_; }

private:
    std::string path_, real_;
};

class Harvest {
public:
    Harvest(const HarvestRequest &q) : q_(q), box_(q.sandbox) {}

    HarvestResult run();

private:
    void ensure_dir(const std::string &dir) {
        if (made_.count(dir)) return;
        make_dirs(dir);
        made_.insert(dir);
        if (std::string rel = relative(dir); !rel.empty())
            result_.dirs_written.push_back(std::move(rel));
    }
    // A file put into the output directory, noted in the result. The
    // sandbox's own file is handed over as a hard link when the sandbox
    // holds its only name and it is the caller's: its sandbox name goes
    // with the sandbox, so the delivered file shares its data with nothing.
    // Anything else (a staged input, a file delivered once already, a file
    // of another user) is copied.
    void deliver(const std::string &source, const std::string &target) {
        static const PlaceRule rule{true, [](const struct stat &st) {
                                        return st.st_nlink == 1 && st.st_uid == ::geteuid();
                                    }};
        place_file(source, target, rule);
        result_.files_written.push_back(relative(target));
    }
    std::string relative(const std::string &path) const {
        return relative_path(q_.output_path, path);
    }
    void skip(const std::string &path, const std::string &why) {
        if (skipped_.insert(path).second) result_.skipped.push_back({path, why});
    }
    Entry look(const std::string &path, bool in_real_dir = true) {
        Entry e = box_.look(path, in_real_dir);
        if (e.kind == Entry::skip) skip(path, e.why);
        return e;
    }
    // A top-level entry: the listing's own type answers for plain files and
    // directories (it describes the entry itself, never a link's target).
    Entry look(const DirEntry &d) {
        std::string path = path_join({q_.sandbox, d.name});
        if (d.type == DT_REG) return {Entry::file, path, {}};
        if (d.type == DT_DIR) return {Entry::dir, path, {}};
        return look(path);
    }
    // Copies every regular file below `dir` to `dst` at the same relative
    // paths; returns the targets. Failures are gathered like a tree copy's.
    void copy_tree(const std::string &dir, const std::string &dst,
                   std::vector<std::string> *delivered, TreeCopyError &errors, bool top);
    std::string captured_into_sandbox();
    std::string capture(const std::string &saved, const std::string &slot);
    void append_stderr(const std::string &target);
    void harvest_dir(std::size_t s, const std::vector<DirEntry> &top);
    void harvest_file(std::size_t s, const std::vector<DirEntry> &top);
    void deliver_slot(std::size_t s, const std::string &source, const std::string &name);
    void deliver_companions(std::size_t s, const std::string &primary_rel, const std::string &name,
                            bool inputs_too);
    void deliver_input_companions();
    void extras(const std::vector<DirEntry> &top);
    void stdout_text(const std::string &source);

    const HarvestRequest &q_;
    Sandbox box_;
    HarvestResult result_;
    NameSet made_, harvested_dirs_, skipped_;
    NameSet companion_sources_;  // sandbox names of delivered companions
    // The sandbox's top-level entries by name: companions are looked up here
    // before the file system is asked.
    std::unordered_map<std::string_view, const DirEntry *> top_index_;
    Entry look_top(const std::string &name) {
        auto it = top_index_.find(name);
        return it == top_index_.end() ? Entry{} : look(*it->second);
    }
};

void Harvest::copy_tree(const std::string &dir, const std::string &dst,
                        std::vector<std::string> *delivered, TreeCopyError &errors, bool top) {
    std::vector<std::string> names;
    try {
        names = list_dir(dir);
    } catch (const FsError &e) {
        // An unreadable subdirectory is passed over, as the host's walk does.
        if (!top && (e.err == EACCES || e.err == ENOTDIR)) return;
        throw;
    }
    if (!delivered) ensure_dir(dst);  // an extra keeps even an empty directory
    for (const std::string &name : names) {
        std::string from = dir + "/" + name, to = path_join({dst, name});
        Entry e = look(from);
        try {
            if (e.kind == Entry::dir) {
                copy_tree(from, to, delivered, errors, false);
            } else if (e.kind == Entry::file) {
                std::string parent = parent_of(to);
                if (!parent.empty()) ensure_dir(parent);
                deliver(e.source, to);
                if (delivered) delivered->push_back(std::move(to));
            }
        } catch (TreeCopyError &nested) {
            for (auto &f : nested.failures) errors.failures.push_back(std::move(f));
        } catch (FsError &err) {
            errors.failures.push_back({from, to, std::move(err)});
        }
    }
    if (!delivered) {
        // An extra directory keeps its permission bits and timestamps.
        struct stat st;
        if (::lstat(dir.c_str(), &st) == 0) {
            struct timespec times[2] = {st.st_atim, st.st_mtim};
            if (::utimensat(AT_FDCWD, dst.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0 ||
                ::chmod(dst.c_str(), st.st_mode & 07777) != 0)
                errors.failures.push_back({dir, dst, FsError(errno, dst)});
        }
    }
}

std::string Harvest::captured_into_sandbox() {
    std::string stdout_target;
    if (q_.capture_slot && !q_.stdout_path.empty() && file_size(q_.stdout_path) > 0)
        stdout_target = capture(q_.stdout_path, *q_.capture_slot);
    if (q_.stderr_slot && !q_.stderr_path.empty() && file_size(q_.stderr_path) > 0) {
        // "> {x} 2> {x}": both streams end up in the one file, error last.
        if (!stdout_target.empty() && q_.capture_slot == q_.stderr_slot)
            append_stderr(stdout_target);
        else
            capture(q_.stderr_path, *q_.stderr_slot);
    }
    if (!q_.capture_slot) return q_.stdout_path;
    return stdout_target;
}

// Moves a saved stream into the sandbox as the slot's entry. The entry is
// replaced, not written through; its directory must lie in the sandbox.
std::string Harvest::capture(const std::string &saved, const std::string &slot) {
    std::string target = path_join({q_.sandbox, slot});
    std::string parent = parent_of(target);
    if (parent != q_.sandbox && box_.look(parent, false).kind != Entry::dir) {
        skip(parent, "output stream not captured: the slot's directory lies outside the sandbox");
        return {};
    }
    if (::rename(saved.c_str(), target.c_str()) != 0) throw FsError(errno, saved, target);
    return target;
}

void Harvest::append_stderr(const std::string &target) {
    // The target is the file just moved in from outside the sandbox.
    files::UniqueFd out(::open(target.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (!out.valid()) throw FsError(errno, target);
    files::UniqueFd in(::open(q_.stderr_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) throw FsError(errno, q_.stderr_path);
    char buffer[1 << 16];
    while (true) {
        ssize_t got = ::read(in.get(), buffer, sizeof buffer);
        if (got == 0) return;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw FsError(errno, target);
        }
        if (!files::write_all(out.get(), std::string_view(buffer, (std::size_t)got)))
            throw FsError(errno, target);
    }
}

void Harvest::harvest_dir(std::size_t s, const std::vector<DirEntry> &top) {
    const SlotRule &slot = q_.slots[s];
    if (slot.from_input && slot.input_name.empty()) return;
    std::string src_dir = path_join({q_.sandbox, slot.from_input ? slot.input_name : slot.name});
    if (!slot.from_input && !lexists(src_dir)) {
        // A directory the tool was to make itself and did not: nothing.
        if (!slot.made_before_run) return;
        // The tool replaced the slot's directory by one of its own naming:
        // take it when it is the only candidate.
        std::vector<std::string> others;
        for (const DirEntry &e : top) {
            if (e.name == kShimDir || q_.input_names.count(e.name)) continue;
            std::string full = path_join({q_.sandbox, e.name});
            struct stat st;
            if (::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) others.push_back(full);
        }
        if (others.size() != 1) return;
        src_dir = others[0];
    }
    if (look(src_dir, src_dir.rfind('/') == q_.sandbox.size()).kind != Entry::dir) return;
    harvested_dirs_.emplace(path_name(src_dir));
    std::string slot_dst = path_join({q_.output_path, slot.name});
    ensure_dir(slot_dst);
    TreeCopyError errors;
    copy_tree(src_dir, slot_dst, &result_.delivered[s], errors, true);
    if (!errors.failures.empty()) throw errors;
}

void Harvest::harvest_file(std::size_t s, const std::vector<DirEntry> &top) {
    const SlotRule &slot = q_.slots[s];
    if (slot.from_input) {
        // The staged input itself, with whatever companions lie beside it now.
        if (slot.input_name.empty()) return;
        Entry e = look(path_join({q_.sandbox, slot.input_name}));
        if (e.kind != Entry::file) return;
        std::string name = delivered_name(slot.name, slot.input_name);
        deliver_slot(s, e.source, name);
        deliver_companions(s, slot.input_name, name, true);
        return;
    }
    std::string pattern = slot.name + "*";
    bool nested_slot = slot.name.find('/') != std::string::npos;
    // Only regular files (or links to them inside the sandbox) can be taken.
    std::vector<std::string> files;
    std::vector<std::string> sources;
    auto consider = [&](const std::string &name, Entry e) {
        if (e.kind != Entry::file) return;
        files.push_back(name);
        sources.push_back(std::move(e.source));
    };
    if (!nested_slot) {
        NamePattern match(pattern);
        for (const DirEntry &e : top)
            if (match.matches(e.name) && !q_.input_names.count(e.name)) consider(e.name, look(e));
    } else {
        for (std::string &rel : glob_in(q_.sandbox, pattern))
            if (!q_.input_names.count(std::string(path_name(rel))))
                consider(rel, look(path_join({q_.sandbox, rel}), false));
    }
    const std::string *chosen = choose_candidate(files, slot.name);
    if (!chosen && !nested_slot) {
        // No name starts with the slot's: the one file named "*." + slot
        // (slot "bai" takes "x.bam.bai"); with several, none.
        std::string tail = "." + slot.name;
        for (const DirEntry &e : top)
            if (!q_.input_names.count(e.name) && e.name.size() > tail.size() &&
                e.name.compare(e.name.size() - tail.size(), tail.size(), tail) == 0)
                consider(e.name, look(e));
        if (std::optional<std::string> one = suffix_match(slot.name, files))
            for (const std::string &f : files)
                if (f == *one) chosen = &f;
    }
    if (!chosen) return;
    std::string name = delivered_name(slot.name, *chosen);
    deliver_slot(s, sources[(std::size_t)(chosen - files.data())], name);
    deliver_companions(s, *chosen, name, false);
}

// `name`: the slot's file as delivered, relative to the output directory.
void Harvest::deliver_slot(std::size_t s, const std::string &source, const std::string &name) {
    std::string slot_dst = path_join({q_.output_path, name});
    std::string parent = parent_of(slot_dst);
    if (!parent.empty()) ensure_dir(parent);
    deliver(source, slot_dst);
    result_.delivered[s].push_back(std::move(slot_dst));
}

// The companions beside the sandbox file `primary_rel` that a slot took,
// delivered beside the slot's file (delivered as `name`), named after it.
// Staged inputs count only for a slot that hands on an input.
void Harvest::deliver_companions(std::size_t s, const std::string &primary_rel,
                                 const std::string &delivered, bool inputs_too) {
    const SlotRule &slot = q_.slots[s];
    std::size_t slash = primary_rel.rfind('/');
    std::string dir_rel = slash == std::string::npos ? "" : primary_rel.substr(0, slash + 1);
    std::map<std::string, std::string> sources;  // companion name -> file to read
    auto present = [&](const std::string &name) {
        std::string rel = dir_rel + name;
        if (!inputs_too && q_.input_names.count(rel)) return false;
        Entry e = dir_rel.empty() ? look_top(rel) : look(path_join({q_.sandbox, rel}), false);
        if (e.kind != Entry::file) return false;
        sources[name] = e.source;
        return true;
    };
    std::string slot_dst = path_join({q_.output_path, delivered});
    std::string out_dir = parent_of(slot_dst);
    for (const CompanionDelivery &d : companion_deliveries(
             path_name(primary_rel), path_name(delivered), slot.companions, present)) {
        std::string target = path_join({out_dir, d.to});
        deliver(sources[d.from], target);
        result_.companions[s].push_back(std::move(target));
        if (dir_rel.empty()) companion_sources_.insert(d.from);
    }
}

// Indexes the tool wrote beside staged inputs ("samtools index x.bam"),
// delivered under their own names.
void Harvest::deliver_input_companions() {
    NameSet delivered_names;
    for (const auto &paths : result_.delivered)
        for (const auto &p : paths) delivered_names.emplace(path_name(p));
    for (const auto &paths : result_.companions)
        for (const auto &p : paths) delivered_names.emplace(path_name(p));
    for (const InputCompanions &in : q_.input_companions)
        for (const Companion &c : companions_of(in.name, in.companions)) {
            if (q_.input_names.count(c.name) || companion_sources_.count(c.name) ||
                delivered_names.count(c.name))
                continue;
            Entry e = look_top(c.name);
            if (e.kind != Entry::file) continue;
            ensure_dir(q_.output_path);
            std::string target = path_join({q_.output_path, c.name});
            deliver(e.source, target);
            result_.input_companions.push_back(std::move(target));
            companion_sources_.insert(c.name);
            delivered_names.insert(c.name);
        }
}

void Harvest::extras(const std::vector<DirEntry> &top) {
    NameSet harvested_names;
    for (const auto &paths : result_.delivered)
        for (const auto &p : paths) harvested_names.emplace(path_name(p));
    std::string extras = path_join({q_.output_path, "_extras"});
    for (const DirEntry &d : top) {
        const std::string &name = d.name;
        if (q_.input_names.count(name) || companion_sources_.count(name) || name == kShimDir ||
            name == kProjectFiles[0] || name == kProjectFiles[1])
            continue;
        std::string full = path_join({q_.sandbox, name});
        Entry e = look(d);
        if (e.kind == Entry::file) {
            if (harvested_names.count(name)) continue;
            ensure_dir(extras);
            deliver(e.source, path_join({extras, name}));
        } else if (e.kind == Entry::dir) {
            if (harvested_dirs_.count(name)) continue;
            ensure_dir(extras);
            TreeCopyError errors;
            copy_tree(full, path_join({extras, name}), nullptr, errors, true);
            if (!errors.failures.empty()) throw errors;
        }
    }
}

void Harvest::stdout_text(const std::string &source) {
    for (const auto &paths : result_.delivered)
        if (!paths.empty()) return;
    if (source.empty() || file_size(source) == 0 || file_is_blank(source)) return;
    std::string dir = path_join({q_.output_path, "stdout"});
    ensure_dir(dir);
    std::string file = path_join({dir, q_.stdout_file_name});
    deliver(source, file);
    result_.stdout_file = std::move(file);
}

HarvestResult Harvest::run() {
    std::string stdout_source = captured_into_sandbox();
    // The tool has finished: one listing of the sandbox serves every step.
    const std::vector<DirEntry> top = list_dir_typed(q_.sandbox);
    top_index_.reserve(top.size());
    for (const DirEntry &e : top) top_index_.emplace(e.name, &e);
    result_.delivered.resize(q_.slots.size());
    result_.companions.resize(q_.slots.size());
    for (std::size_t s = 0; s < q_.slots.size(); ++s) {
        if (q_.slots[s].is_dir)
            harvest_dir(s, top);
        else
            harvest_file(s, top);
    }
    deliver_input_companions();
    extras(top);
    stdout_text(stdout_source);
    return std::move(result_);
}

}  // namespace

const std::string *choose_candidate(const std::vector<std::string> &names,
                                    const std::string &slot) {
    const std::string *best = nullptr;
    for (const std::string &name : names) {
        if (name == slot) return &name;
        if (!best || name.size() < best->size() || (name.size() == best->size() && name < *best))
            best = &name;
    }
    return best;
}

std::string delivered_name(const std::string &slot, const std::string &taken) {
    if (taken.size() > slot.size() + 1 && taken.compare(0, slot.size(), slot) == 0 &&
        taken[slot.size()] == '.' && taken.find('/', slot.size()) == std::string::npos)
        return taken;
    return slot;
}

HarvestResult harvest(const HarvestRequest &request) { return Harvest(request).run(); }

}  // namespace plexaro::sandbox
