#include "weftling/store_index.hpp"

#include "weftling/source.hpp"

#include <algorithm>
#include <set>

namespace plexaro::weftling {

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
