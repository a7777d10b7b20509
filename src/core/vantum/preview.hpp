// First lines of a file as the host would show them: the output of
// `head -n N`, decoded as strict UTF-8 with the host's newline translation,
// stripped of white space and cut to a number of code points.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plexaro::vantum {

using Clock = std::chrono::steady_clock;

// Builds a preview from bytes fed in pieces. Text is "the locale's encoding"
// of the host, which on every platform the layer runs on is UTF-8 (a C or
// POSIX locale is coerced to UTF-8 by the host runtime); bytes that are not
// strict UTF-8 anywhere in the first lines mean the file has no preview.
class PreviewBuilder {
public:
    explicit PreviewBuilder(std::size_t max_chars) : max_chars_(max_chars) {}

    // Feeds the next bytes of the first lines (the caller stops at the line
    // limit). Returns false once the text is known to be undecodable.
    bool feed(std::string_view bytes);

    // The preview, or nothing when the text is empty after stripping or
    // could not be decoded.
    std::optional<std::string> finish();

private:
    void take(char32_t cp, std::string_view bytes);

    std::size_t max_chars_;
    std::string carry_;          // a sequence cut by the end of the last piece
    bool invalid_ = false;
    bool after_cr_ = false;      // "\r\n" is one line break to the host
    bool started_ = false;       // leading white space is behind us
    std::string kept_;           // up to max_chars_ code points after the leading space
    std::size_t kept_chars_ = 0;
    std::size_t content_end_ = 0;  // bytes of kept_ up to its last non-space
};

// The preview of one file: its first `lines` lines, at most `chars` code
// points after stripping. Only regular files (links followed) are read, so a
// FIFO, device or socket has no preview and costs no waiting. Nothing is
// returned when the file cannot be opened or read, is empty or not text, or
// when reading has not finished by `deadline`.
std::optional<std::string> read_preview(const std::string &path, std::size_t lines,
                                        std::size_t chars, Clock::time_point deadline);

struct PreviewRequest {
    std::string path;
    std::size_t lines;
    std::size_t chars;
};

using PreviewReader =
    std::function<std::optional<std::string>(const PreviewRequest &, Clock::time_point deadline)>;

// Previews of several files in order, each bounded by `timeout` from the
// moment its read starts. Reads run on a helper thread so that even a read
// stuck inside the kernel (a hung network mount) only costs its own
// `timeout`: the caller stops waiting, leaves that thread to finish on its
// own and goes on with the next file on a fresh one.
std::vector<std::optional<std::string>> read_previews(
    const std::vector<PreviewRequest> &requests, Clock::duration timeout,
    const PreviewReader &reader = {});

}  // namespace plexaro::vantum
