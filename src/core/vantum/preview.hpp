// First lines of a file as the host would show them: the output of
// `head -n N`, decoded as strict UTF-8 with the host's newline translation,
// stripped of white space and cut to a number of code points. Text holding
// NUL or any other control character but tab, line feed and carriage return
// is binary data and has no preview.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace plexaro::vantum {

using Clock = std::chrono::steady_clock;

// Whether the code point is a control character that marks data as binary
// (the C0 and C1 controls and DEL, tab, line feed and carriage return aside).
constexpr bool is_binary_control(char32_t cp) {
    return (cp < 0x20 && cp != U'\t' && cp != U'\n' && cp != U'\r') || (cp >= 0x7F && cp <= 0x9F);
}

// Builds a preview from bytes fed in pieces. Text is "the locale's encoding"
// of the host, which on every platform the layer runs on is UTF-8 (a C or
// POSIX locale is coerced to UTF-8 by the host runtime); bytes that are not
// strict UTF-8, or a control character, anywhere in the first lines mean
// the file has no preview.
class PreviewBuilder {
public:
    explicit PreviewBuilder(std::size_t max_chars) : max_chars_(max_chars) {}

    // Feeds the next bytes of the first lines (the caller stops at the line
    // limit). Returns false once the text is known not to be a preview.
    bool feed(std::string_view bytes);

    // The preview, or nothing when the text is empty after stripping or is
    // not text. `cut` says the bytes fed were cut at an arbitrary byte (a
    // bound on decompressed data), so a character left incomplete at the
    // end is dropped instead of spoiling the text.
    std::optional<std::string> finish(bool cut = false);

private:
    bool take(char32_t cp, std::string_view bytes);
    // Past the kept part only validity matters: checks bytes from `pos`
    // without decoding runs of printable ASCII; returns where it stopped.
    std::size_t judge(std::string_view data, std::size_t pos);

    std::size_t max_chars_;
    std::string carry_;  // a sequence cut by the end of the last piece
    bool invalid_ = false;
    bool after_cr_ = false;  // "\r\n" is one line break to the host
    bool started_ = false;   // leading white space is behind us
    bool settled_ = false;   // the preview can no longer change
    std::string kept_;       // up to max_chars_ code points after the leading space
    std::size_t kept_chars_ = 0;
    std::size_t content_end_ = 0;  // bytes of kept_ up to its last non-space
};

}  // namespace plexaro::vantum
