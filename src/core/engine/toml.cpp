#include "engine/toml.hpp"

#include <cstdio>

namespace plexaro::engine::toml {

Value Value::boolean(bool b) {
    Value v;
    v.kind = Kind::boolean;
    v.flag = b;
    return v;
}
Value Value::literal(std::string text) {
    Value v;
    v.kind = Kind::literal;
    v.text = std::move(text);
    return v;
}
Value Value::string(std::string text) {
    Value v;
    v.kind = Kind::string;
    v.text = std::move(text);
    return v;
}
Value Value::array(std::vector<Value> items) {
    Value v;
    v.kind = Kind::array;
    v.items = std::move(items);
    return v;
}
Value Value::table(std::vector<Entry> entries) {
    Value v;
    v.kind = Kind::table;
    v.entries = std::move(entries);
    return v;
}

std::string basic_string(std::string_view text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04X", c);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
    return out;
}

namespace {
bool bare_key_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}
}  // namespace

std::string key_text(std::string_view key) {
    bool bare = !key.empty();
    for (unsigned char c : key) bare = bare && bare_key_char(c);
    return bare ? std::string(key) : basic_string(key);
}

std::string format_value(const Value &value) {
    switch (value.kind) {
    case Value::Kind::boolean: return value.flag ? "true" : "false";
    case Value::Kind::literal: return value.text;
    case Value::Kind::string: return basic_string(value.text);
    case Value::Kind::array: {
        std::string out = "[";
        for (std::size_t i = 0; i < value.items.size(); ++i) {
            if (i) out += ", ";
            out += format_value(value.items[i]);
        }
        return out + "]";
    }
    case Value::Kind::table: {
        // Only reached inside arrays: a header cannot name an array
        // element, so the table is written inline to keep its content.
        if (value.entries.empty()) return "{}";
        std::string out = "{ ";
        for (std::size_t i = 0; i < value.entries.size(); ++i) {
            if (i) out += ", ";
            out += key_text(value.entries[i].key) + " = " + format_value(value.entries[i].value);
        }
        return out + " }";
    }
    }
    return {};
}

namespace {

void emit_table(std::string &out, const std::string &prefix, const std::vector<Entry> &entries) {
    if (!prefix.empty()) out += "[" + prefix + "]\n";
    bool any_scalar = false;
    for (const Entry &e : entries) {
        if (e.value.kind == Value::Kind::table) continue;
        out += key_text(e.key) + " = " + format_value(e.value) + "\n";
        any_scalar = true;
    }
    if (!prefix.empty() || any_scalar) out += "\n";
    for (const Entry &e : entries) {
        if (e.value.kind != Value::Kind::table) continue;
        std::string key = key_text(e.key);
        emit_table(out, prefix.empty() ? key : prefix + "." + key, e.value.entries);
    }
}

}  // namespace

std::string emit_document(const std::vector<Entry> &root) {
    std::string out;
    emit_table(out, "", root);
    return out;
}

}  // namespace plexaro::engine::toml
