// Shell-word splitting with the host's POSIX rules (the same words, and the
// same two failures, as the host's shlex.split(text, posix=True)).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::sandbox {

// Raised with the host's own messages: "No closing quotation" and
// "No escaped character". The binding turns it into the host's ValueError.
struct SplitError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Words of UTF-8 text: space, tab, CR and LF separate words; single quotes
// group literally; double quotes group and let a backslash escape only '"'
// and '\'; a backslash outside quotes escapes any character; '#' is an
// ordinary character; '' and "" make empty words.
std::vector<std::string> split_words(std::string_view text);

}  // namespace plexaro::sandbox
