#include "weftling/store_index.hpp"

#include "weftling/source.hpp"

#include "common/unique_fd.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plexaro::weftling {

namespace {

[[noreturn]] void fail(const std::string &path, const char *action) {
    int err = errno;
    throw files::PathError(err, path, std::string(action) + " " + path);
}

// device, inode, committed length and the length a running append will
// reach (0: none), each in 20 digits: every record has the same size, so a
// rewrite in place never leaves an older tail behind.
constexpr std::size_t kRecordSize = 4 * 21;

struct Record {
    std::uint64_t device = 0, inode = 0, committed = 0, pending = 0;
};

void write_record(const std::string &path, const Record &r, bool sync) {
    const std::string record = committed_record_path(path);
    char text[kRecordSize + 1];
    std::snprintf(text, sizeof text,
                  "%020" PRIu64 " %020" PRIu64 " %020" PRIu64 " %020" PRIu64 "\n", r.device,
                  r.inode, r.committed, r.pending);
    files::UniqueFd fd(::open(record.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0) fail(record, "cannot open");
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) fail(record, "cannot inspect");
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        fail(record, "not a regular file:");
    }
    bool ok = ::pwrite(fd.get(), text, kRecordSize, 0) == static_cast<ssize_t>(kRecordSize) &&
              (!sync || ::fdatasync(fd.get()) == 0);
    if (!ok || !fd.close()) fail(record, "cannot write");
}

std::optional<Record> read_record(const std::string &path) {
    const std::string record = committed_record_path(path);
    files::UniqueFd in(::open(record.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (in.get() < 0) return std::nullopt;
    char text[kRecordSize + 1] = {};
    struct stat st {};
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::pread(in.get(), text, kRecordSize, 0) != static_cast<ssize_t>(kRecordSize))
        return std::nullopt;
    Record r;
    if (std::sscanf(text, "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64, &r.device, &r.inode,
                    &r.committed, &r.pending) != 4)
        return std::nullopt;
    return r;
}

}  // namespace

std::string committed_record_path(const std::string &path) { return path + ".committed"; }

void record_committed(const std::string &path, const FileStamp &stamp) {
    write_record(path, {stamp.device, stamp.inode, stamp.size, 0}, true);
}

void record_append(const std::string &path, const FileStamp &stamp, std::uint64_t new_size) {
    write_record(path, {stamp.device, stamp.inode, stamp.size, new_size}, true);
}

bool cut_torn_append(const std::string &path) {
    std::optional<Record> r = read_record(path);
    if (!r || r->pending == 0) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (static_cast<std::uint64_t>(st.st_dev) != r->device ||
        static_cast<std::uint64_t>(st.st_ino) != r->inode)
        return false;  // another file was renamed into place since: it is whole
    bool cut = false;
    if (static_cast<std::uint64_t>(st.st_size) > r->committed) {
        files::UniqueFd out(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (out.get() < 0) fail(path, "cannot open");
        struct stat now {};
        if (::fstat(out.get(), &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev)
            return false;
        if (::ftruncate(out.get(), static_cast<off_t>(r->committed)) != 0 ||
            ::fdatasync(out.get()) != 0)
            fail(path, "cannot cut the torn end of");
        cut = true;
    }
    write_record(path, {r->device, r->inode, r->committed, 0}, true);
    return cut;
}

std::vector<std::size_t> line_starts(std::string_view text) {
    std::vector<std::size_t> starts{0};
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        else if (text[i] != '\n' && text[i] != '\r')
            continue;
        starts.push_back(i + 1);
    }
    return starts;
}

void StoreIndex::add_statements(const std::vector<Statement> &statements, std::string_view text,
                                std::size_t offset) {
    std::vector<std::size_t> starts = line_starts(text);
    for (const Statement &s : statements) {
        std::size_t line = std::min(std::max<std::size_t>(s.first_line, 1), starts.size());
        entries_.push_back({s.function, offset + starts[line - 1]});
        if (!s.function.empty()) ++functions_[s.function];
        bound_.insert(s.binds.begin(), s.binds.end());
    }
}

void StoreIndex::reset(std::string path, FileStamp stamp, std::string text,
                       const std::vector<Statement> *statements) {
    path_ = std::move(path);
    stamp_ = stamp;
    text_ = std::move(text);
    entries_.clear();
    functions_.clear();
    bound_.clear();
    parsed_ = statements != nullptr;
    if (parsed_) add_statements(*statements, text_, 0);
    valid_ = true;
}

bool StoreIndex::defines(std::string_view name) const {
    if (!parsed_) return defines_function(text_, name);
    return functions_.count(std::string(name)) > 0;
}

bool StoreIndex::binds(std::string_view name) const {
    if (!parsed_) return defines_function(text_, name);
    return bound_.count(std::string(name)) > 0;
}

std::string StoreIndex::rewrite(const std::vector<std::string> &removed, std::string_view batch,
                                const std::vector<Statement> *batch_statements) {
    std::string kept;
    if (!parsed_) {
        kept = text_;
        for (const std::string &name : removed) kept = remove_function(kept, name);
        text_ = append_batch(kept, batch);
        return text_;
    }

    const std::set<std::string> gone(removed.begin(), removed.end());
    std::vector<Entry> entries;
    entries.reserve(entries_.size() + (batch_statements ? batch_statements->size() : 0));
    kept.reserve(text_.size() + batch.size() + 3);
    // Text before the first statement (comments, blank lines) always stays.
    kept.append(text_, 0, entries_.empty() ? text_.size() : entries_.front().begin);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const Entry &e = entries_[i];
        std::size_t end = i + 1 < entries_.size() ? entries_[i + 1].begin : text_.size();
        if (!e.function.empty() && gone.count(e.function)) {
            if (--functions_[e.function] == 0) functions_.erase(e.function);
            continue;
        }
        entries.push_back({e.function, kept.size()});
        kept.append(text_, e.begin, end - e.begin);
    }
    entries_ = std::move(entries);

    kept.resize(py_rstrip(kept).size());
    kept.append("\n\n");
    const std::size_t batch_at = kept.size();
    kept.append(batch).append("\n");
    text_ = std::move(kept);
    if (batch_statements) {
        add_statements(*batch_statements, batch, batch_at);
    } else {
        parsed_ = false;
    }
    valid_ = false;  // until the new text is on disk
    return text_;
}

}  // namespace plexaro::weftling
