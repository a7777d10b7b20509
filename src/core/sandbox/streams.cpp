#include "sandbox/streams.hpp"

#include "common/text.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plexaro::sandbox {

namespace {

std::string with_note(std::uint64_t left_out, std::string_view tail) {
    // Never start inside a character.
    std::size_t skip = 0;
    while (skip < tail.size() && skip < 4 && ((unsigned char)tail[skip] & 0xC0) == 0x80) ++skip;
    left_out += skip;
    return "[" + std::to_string(left_out) + " earlier bytes left out]\n" +
           std::string(tail.substr(skip));
}

}  // namespace

std::string stream_tail(std::string_view data, std::size_t limit) {
    if (data.size() <= limit) return std::string(data);
    return with_note(data.size() - limit, data.substr(data.size() - limit));
}

std::uint64_t file_size(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return (std::uint64_t)st.st_size;
}

std::string file_tail(const std::string &path, std::size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return "";
    struct stat st;
    std::string out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        std::uint64_t size = (std::uint64_t)st.st_size;
        std::uint64_t from = size > limit ? size - limit : 0;
        out.resize(size - from);
        std::size_t got = 0;
        while (got < out.size()) {
            ssize_t n = ::pread(fd, out.data() + got, out.size() - got, (off_t)(from + got));
            if (n <= 0) break;
            got += (std::size_t)n;
        }
        out.resize(got);
        if (from > 0) out = with_note(from, out);
    }
    ::close(fd);
    return out;
}

bool file_is_blank(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return true;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return true;
    }
    std::string chunk;
    std::size_t carry = 0;  // bytes of an unfinished character kept from the last read
    bool blank = true;
    char buffer[1 << 16];
    while (blank) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            blank = carry == 0;  // a cut-off character is not white space
            break;
        }
        chunk.erase(0, chunk.size() - carry);
        chunk.append(buffer, (std::size_t)n);
        std::size_t pos = 0;
        carry = 0;
        while (pos < chunk.size()) {
            char32_t cp;
            std::size_t len;
            auto status = text::decode_utf8(chunk, pos, cp, len);
            if (status == text::Utf8Status::truncated) {
                carry = chunk.size() - pos;
                break;
            }
            if (status != text::Utf8Status::ok || !text::is_unicode_space(cp)) {
                blank = false;
                break;
            }
            pos += len;
        }
    }
    ::close(fd);
    return blank;
}

}  // namespace plexaro::sandbox
