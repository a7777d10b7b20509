// Small TOML writer for the tool manager's project files, used when the
// host has no TOML writing library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace plexaro::engine::toml {

struct Entry;

// One value of a document, already classified by the caller.
struct Value {
    enum class Kind {
        boolean,  // `flag`
        literal,  // `text` written as is: numbers, dates and times in TOML form
        string,   // `text` written as a basic string
        array,    // `items`
        table,    // `entries`, in order
    };
    Kind kind = Kind::string;
    bool flag = false;
    std::string text;
    std::vector<Value> items;
    std::vector<Entry> entries;

    static Value boolean(bool b);
    static Value literal(std::string text);
    static Value string(std::string text);
    static Value array(std::vector<Value> items);
    static Value table(std::vector<Entry> entries);
};

struct Entry {
    std::string key;
    Value value;
};

// `text` as a TOML basic string: backslash and double quote escaped, and
// every control character written as an escape.
std::string basic_string(std::string_view text);

// A key as written in a key/value line or a header: bare when TOML allows,
// otherwise as a basic string.
std::string key_text(std::string_view key);

// One value on the right of " = ". Tables inside arrays become inline tables.
std::string format_value(const Value &value);

// The whole document for a root table: root scalars first without header,
// then every sub-table under its dotted header, each table followed by one
// empty line. An empty root gives the empty text.
std::string emit_document(const std::vector<Entry> &root);

}  // namespace plexaro::engine::toml
