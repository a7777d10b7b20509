#include "vantum/walk.hpp"

#include "common/listing.hpp"
#include "common/path.hpp"
#include "common/text.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <queue>

namespace plexaro::vantum {

namespace {

enum class EntryKind { directory, linked_directory, other };

EntryKind kind_of(const std::string &path, unsigned char d_type) {
    struct stat st;
    if (d_type == DT_DIR) return EntryKind::directory;
    if (d_type == DT_UNKNOWN) {
        if (lstat(path.c_str(), &st) != 0) return EntryKind::other;
        if (S_ISDIR(st.st_mode)) return EntryKind::directory;
        if (!S_ISLNK(st.st_mode)) return EntryKind::other;
    } else if (d_type != DT_LNK) {
        return EntryKind::other;
    }
    // A link counts as a directory when its target is one; a dangling or
    // unreachable link is an ordinary entry.
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return EntryKind::linked_directory;
    return EntryKind::other;
}

}  // namespace

bool host_order_less(std::string_view a, std::string_view b) {
    std::size_t pa = 0, pb = 0;
    while (pa < a.size() && pb < b.size()) {
        unsigned char xa = a[pa], xb = b[pb];
        if (xa < 0x80 && xb < 0x80) {  // the common case, no decoding needed
            if (xa != xb) return xa < xb;
            ++pa, ++pb;
            continue;
        }
        char32_t ca = text::next_code_point(a, pa), cb = text::next_code_point(b, pb);
        if (ca != cb) return ca < cb;
    }
    return pa == a.size() && pb < b.size();
}

std::vector<std::string> list_files(const std::string &top, std::size_t limit) {
    auto less = [](const std::string &x, const std::string &y) { return host_order_less(x, y); };
    // A bounded max-heap keeps memory to `limit` paths however large the tree.
    std::priority_queue<std::string, std::vector<std::string>, decltype(less)> kept(less);
    auto keep = [&](std::string rel) {
        if (kept.size() < limit) {
            kept.push(std::move(rel));
        } else if (limit > 0 && less(rel, kept.top())) {
            kept.pop();
            kept.push(std::move(rel));
        }
    };

    std::vector<std::string> pending{""};  // relative directories still to read
    std::vector<files::DirEntry> entries;
    while (!pending.empty()) {
        std::string rel_dir = std::move(pending.back());
        pending.pop_back();
        std::string dir_path = rel_dir.empty() ? top : join_path(top, rel_dir);
        // A directory that cannot be read to its end is dropped entirely, as
        // the host's walk drops it.
        if (files::list_directory(dir_path, entries) != 0) continue;
        for (auto &[name, d_type] : entries) {
            std::string rel = join_path(rel_dir, name);
            switch (kind_of(join_path(dir_path, name), d_type)) {
            case EntryKind::directory: pending.push_back(std::move(rel)); break;
            case EntryKind::linked_directory: break;
            case EntryKind::other: keep(std::move(rel)); break;
            }
        }
    }

    std::vector<std::string> out(kept.size());
    for (std::size_t i = out.size(); i-- > 0;) {
        out[i] = kept.top();
        kept.pop();
    }
    return out;
}

}  // namespace plexaro::vantum
