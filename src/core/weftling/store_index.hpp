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

// Byte offset of the start of each line, as the host's parser numbers lines
// ("\n", "\r\n" and "\r" end a line); entry i is where line i + 1 starts.
std::vector<std::size_t> line_starts(std::string_view text);

}  // namespace plexaro::weftling
