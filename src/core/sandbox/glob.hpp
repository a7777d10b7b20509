// The host's glob rules for the output-slot prefix match: fnmatch patterns
// ("*", "?", "[...]"/"[!...]" with the host's range rules), names starting
// with "." only when the pattern does, entries in listing order.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::sandbox {

// fnmatch.fnmatchcase(name, pattern) on UTF-8 (bytes that are not valid
// UTF-8 each count as one character, as the host's file-name decoding has it).
bool fnmatch(std::string_view name, std::string_view pattern);

// One name pattern as glob applies it inside a directory: fnmatch, and names
// starting with "." only when the pattern does.
class NamePattern {
public:
    explicit NamePattern(std::string_view pattern);
    ~NamePattern();
    NamePattern(NamePattern &&) noexcept;
    NamePattern &operator=(NamePattern &&) noexcept;
    bool matches(std::string_view name) const;

private:
    struct Compiled;
    std::unique_ptr<Compiled> compiled_;  // none when the pattern is a plain prefix
    std::string prefix_;                  // the pattern before its final run of "*"
    bool hidden_ok_;
};

// glob.glob(pattern, root_dir=root): paths relative to `root`, in the order
// the directories list them. A pattern may hold "/"; "**" is a plain "*".
std::vector<std::string> glob_in(const std::string &root, std::string_view pattern);

}  // namespace plexaro::sandbox
