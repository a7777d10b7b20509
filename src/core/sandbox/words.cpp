#include "sandbox/words.hpp"

namespace plexaro::sandbox {

namespace {
bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
}  // namespace

std::vector<std::string> split_words(std::string_view text) {
    // Only ASCII bytes are special, so walking UTF-8 byte by byte gives the
    // words the host finds walking code points: every byte of a multi-byte
    // character is simply carried into the current word.
    enum class State { between, word, single_quoted, double_quoted };
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;  // an empty pair of quotes still makes a word
    State state = State::between;

    auto emit = [&] {
        if (!word.empty() || quoted) words.push_back(std::move(word));
        word.clear();
        quoted = false;
    };

    std::size_t i = 0, n = text.size();
    while (i < n) {
        char c = text[i++];
        switch (state) {
        case State::between:
        case State::word:
            if (is_separator(c)) {
                if (state == State::word) emit();
                state = State::between;
            } else if (c == '\\') {
                if (i >= n) throw SplitError("No escaped character");
                word += text[i++];
                state = State::word;
            } else if (c == '\'') {
                state = State::single_quoted;
                quoted = true;
            } else if (c == '"') {
                state = State::double_quoted;
                quoted = true;
            } else {
                word += c;
                state = State::word;
            }
            break;
        case State::single_quoted:
            if (c == '\'')
                state = State::word;
            else
                word += c;
            break;
        case State::double_quoted:
            if (c == '"') {
                state = State::word;
            } else if (c == '\\') {
                if (i >= n) throw SplitError("No escaped character");
                char next = text[i++];
                // Inside double quotes only the quote and the backslash
                // itself are escapable; elsewhere the backslash stays.
                if (next != '"' && next != '\\') word += '\\';
                word += next;
            } else {
                word += c;
            }
            break;
        }
    }
    if (state == State::single_quoted || state == State::double_quoted)
        throw SplitError("No closing quotation");
    if (state == State::word) emit();
    return words;
}

}  // namespace plexaro::sandbox
