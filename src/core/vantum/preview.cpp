#include "vantum/preview.hpp"

#include "common/text.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plexaro::vantum {

namespace {

// Length of the run of printable ASCII (0x20..0x7E) starting at `pos`.
std::size_t printable_ascii_run(std::string_view data, std::size_t pos) {
    std::size_t i = pos, n = data.size();
#if defined(__SSE2__)
    // Signed compares: bytes from 0x80 up are negative, so "less than 0x20"
    // catches them together with the controls.
    const __m128i space = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7F);
    while (i + 16 <= n) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data.data() + i));
        int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmplt_epi8(x, space), _mm_cmpeq_epi8(x, del)));
        if (mask != 0) return i + (std::size_t)__builtin_ctz((unsigned)mask) - pos;
        i += 16;
    }
#endif
    while (i < n) {
        unsigned char c = (unsigned char)data[i];
        if (c < 0x20 || c >= 0x7F) break;
        ++i;
    }
    return i - pos;
}

std::size_t ascii_space_run(std::string_view data, std::size_t pos) {
    std::size_t i = pos;
    while (i < data.size() &&
           (data[i] == ' ' || data[i] == '\n' || data[i] == '\t' || data[i] == '\r'))
        ++i;
    return i - pos;
}

}  // namespace

bool PreviewBuilder::feed(std::string_view data) {
    if (invalid_) return false;
    std::size_t i = 0;
    char32_t cp;
    std::size_t length;
    // Finish a character begun at the end of the last piece.
    while (!carry_.empty()) {
        if (i == data.size()) return true;
        carry_.push_back(data[i++]);
        switch (text::decode_utf8(carry_, 0, cp, length)) {
        case text::Utf8Status::ok: {
            std::string sequence = std::move(carry_);
            carry_.clear();
            if (!take(cp, sequence)) return false;
            break;
        }
        case text::Utf8Status::truncated: break;
        case text::Utf8Status::invalid: invalid_ = true; return false;
        }
    }
    while (i < data.size()) {
        if (settled_) {
            i = judge(data, i);
            break;
        }
        // White space before the text or after a full preview keeps nothing:
        // runs of it are passed over without decoding.
        if (!started_ || kept_chars_ == max_chars_) {
            if (std::size_t run = ascii_space_run(data, i)) {
                i += run;
                after_cr_ = false;
                continue;
            }
        }
        switch (text::decode_utf8(data, i, cp, length)) {
        case text::Utf8Status::ok:
            if (!take(cp, data.substr(i, length))) return false;
            i += length;
            break;
        case text::Utf8Status::truncated: carry_.assign(data.substr(i)); return true;
        case text::Utf8Status::invalid: invalid_ = true; return false;
        }
    }
    return !invalid_;
}

std::size_t PreviewBuilder::judge(std::string_view data, std::size_t i) {
    char32_t cp;
    std::size_t length;
    while (i < data.size()) {
        i += printable_ascii_run(data, i);
        if (i == data.size()) break;
        unsigned char c = (unsigned char)data[i];
        if (c == '\t' || c == '\n' || c == '\r') {
            ++i;
            continue;
        }
        switch (text::decode_utf8(data, i, cp, length)) {
        case text::Utf8Status::ok:
            if (is_binary_control(cp)) {
                invalid_ = true;
                return data.size();
            }
            i += length;
            break;
        case text::Utf8Status::truncated: carry_.assign(data.substr(i)); return data.size();
        case text::Utf8Status::invalid: invalid_ = true; return data.size();
        }
    }
    return i;
}

bool PreviewBuilder::take(char32_t cp, std::string_view bytes) {
    if (is_binary_control(cp)) {
        invalid_ = true;
        return false;
    }
    // The host reads text with universal newlines: "\r\n" and a lone "\r"
    // both become "\n".
    if (cp == U'\r') {
        after_cr_ = true;
        cp = U'\n';
        bytes = "\n";
    } else if (cp == U'\n' && after_cr_) {
        after_cr_ = false;
        return true;
    } else {
        after_cr_ = false;
    }
    if (settled_) return true;
    bool space = text::is_unicode_space(cp);
    if (!started_) {
        if (space) return true;
        started_ = true;
    }
    // Cutting after stripping: the first max_chars_ code points of the text
    // without its leading space, ended early only by trailing space.
    if (kept_chars_ < max_chars_) {
        kept_.append(bytes);
        ++kept_chars_;
        if (!space) content_end_ = kept_.size();
    } else if (!space) {
        content_end_ = kept_.size();
    }
    settled_ = kept_chars_ == max_chars_ && content_end_ == kept_.size();
    return true;
}

std::optional<std::string> PreviewBuilder::finish(bool cut) {
    if (!carry_.empty() && !cut) invalid_ = true;  // the text ends inside a character
    if (invalid_ || content_end_ == 0) return std::nullopt;
    return kept_.substr(0, content_end_);
}

}  // namespace plexaro::vantum
