// What the connectors file holds, kept between calls: its text, which
// top-level functions it defines and where each one's text lies. The index
// is trusted only while the file's identity, size and modification time are
// those it was made from; a write of this process updates it from the batch
// alone, so the cost of storing a batch does not grow with the file.
#pragma once

#include "common/files.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace plexaro::weftling {

// The file's identity, size and modification time (common/files).
using FileStamp = files::FileIdentity;

// One top-level statement as the host's parser saw it.
struct Statement {
    std::string function;            // name of a plain function definition, else empty
    std::vector<std::string> binds;  // top-level names the statement binds
    std::size_t first_line = 0;      // 1-based, decorators included
};

class StoreIndex {
public:
    // Index `text`. `statements` are its top-level statements in order, or
    // null when the text does not parse; such a file is then searched and
    // cut by the line rule ("def <name>(" at a line start).
    void reset(std::string path, FileStamp stamp, std::string text,
               const std::vector<Statement> *statements);
    void invalidate() { valid_ = false; }

    // Whether the index describes the file at `path` as it is now.
    bool matches(std::string_view path, const FileStamp &stamp) const {
        return valid_ && path == path_ && stamp == stamp_;
    }
    bool valid() const { return valid_; }
    // Whether the text parsed, so that definitions are known exactly.
    bool parsed() const { return parsed_; }
    // The stamp of the file the index was made from (or last committed).
    const FileStamp &stamp() const { return stamp_; }
    const std::string &text() const { return text_; }

    // A top-level "def <name>(" in the file.
    bool defines(std::string_view name) const;
    // Any top-level name the file binds (functions, classes, imports, assignments).
    bool binds(std::string_view name) const;

    // The file's text with every definition of `removed` taken out (each
    // runs to the next top-level statement) and `batch` appended after one
    // empty line. The index follows the new text; `batch_statements` are
    // the batch's statements with lines counted within the batch (null when
    // unknown, which makes the index fall back to the line rule).
    std::string rewrite(const std::vector<std::string> &removed, std::string_view batch,
                        const std::vector<Statement> *batch_statements);
    // The new text is on disk with this stamp.
    void committed(FileStamp stamp) {
        stamp_ = stamp;
        valid_ = true;
    }

private:
    struct Entry {
        std::string function;
        std::size_t begin = 0;  // byte offset of its first line; it runs to the next entry
    };

    void add_statements(const std::vector<Statement> &statements, std::string_view text,
                        std::size_t offset);

    std::string path_, text_;
    FileStamp stamp_;
    bool valid_ = false, parsed_ = false;
    std::vector<Entry> entries_;
    std::unordered_map<std::string, std::size_t> functions_;  // name -> number of definitions
    std::unordered_set<std::string> bound_;
};

// The committed length of the connectors file. A batch is appended in
// place (only the appended blocks are flushed to disk), so a writer that
// dies during an append can leave part of a function at the end of the
// file. A small file beside it ("<path>.committed", rewritten in place)
// holds the file's identity, its length after the last completed write and,
// while an append runs, the length the append will reach. A reader that
// holds the lock and finds an append recorded as running for this very file
// knows its writer died: the tail past the committed length is cut off
// before the file is read. Text appended by anyone else leaves no such
// record and is kept.
std::string committed_record_path(const std::string &path);
// Records `stamp` as the completed state of the file at `path`, flushed to
// disk (PathError on failure).
void record_committed(const std::string &path, const FileStamp &stamp);
// Records that an append to the file with `stamp` will make it `new_size`
// bytes long, flushed to disk before the append starts: the kernel writes
// the appended blocks back on its own schedule, so after a power loss part
// of an append can be on disk while an unflushed record is not, and the
// torn end would then look like text appended by someone else.
void record_append(const std::string &path, const FileStamp &stamp, std::uint64_t new_size);
// Cuts the file at `path` back to its committed length when an append to
// this very file is recorded as running; true when it cut. Without a
// record, or for another file (one renamed into place), nothing changes.
bool cut_torn_append(const std::string &path);

// Byte offset of the start of each line, as the host's parser numbers lines
// ("\n", "\r\n" and "\r" end a line); entry i is where line i + 1 starts.
std::vector<std::size_t> line_starts(std::string_view text);

}  // namespace plexaro::weftling
