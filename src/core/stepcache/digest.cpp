#include "stepcache/digest.hpp"

#include "sandbox/fsops.hpp"
#include "stepcache/xxh3.hpp"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace plexaro::stepcache {

struct Hasher::State {
    XXH3_state_t *xxh = XXH3_createState();
    State() {
        if (!xxh) throw std::bad_alloc();
        XXH3_128bits_reset(xxh);
    }
    ~State() { XXH3_freeState(xxh); }
};

Hasher::Hasher() : state_(std::make_unique<State>()) {}
Hasher::~Hasher() = default;

void Hasher::update(const void *data, std::size_t size) {
    XXH3_128bits_update(state_->xxh, data, size);
}

void Hasher::number(std::uint64_t value) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = (unsigned char)(value >> (8 * i));
    update(bytes, sizeof bytes);
}

void Hasher::field(std::string_view bytes) {
    number(bytes.size());
    update(bytes);
}

Digest Hasher::digest() const {
    XXH128_hash_t h = XXH3_128bits_digest(state_->xxh);
    return {h.high64, h.low64};
}

std::string Digest::hex() const {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(32, '0');
    for (int i = 0; i < 16; ++i) {
        out[15 - i] = kDigits[(high >> (4 * i)) & 15];
        out[31 - i] = kDigits[(low >> (4 * i)) & 15];
    }
    return out;
}

std::optional<Digest> Digest::from_hex(std::string_view text) {
    if (text.size() != 32) return std::nullopt;
    Digest d;
    for (std::size_t i = 0; i < 32; ++i) {
        char c = text[i];
        unsigned v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            return std::nullopt;
        std::uint64_t &half = i < 16 ? d.high : d.low;
        half = (half << 4) | v;
    }
    return d;
}

Digest hash_stream(int fd, const std::string &path, std::uint64_t &read_bytes) {
    // Large reads keep the per-call cost negligible; the buffer stays hot in
    // the cache between reads.
    constexpr std::size_t kBuffer = 1 << 20;
    thread_local std::unique_ptr<char[]> buffer(new char[kBuffer]);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    Hasher hasher;
    read_bytes = 0;
    while (true) {
        ssize_t r = ::read(fd, buffer.get(), kBuffer);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw sandbox::FsError(errno, path);
        }
        if (r == 0) break;
        hasher.update(buffer.get(), (std::size_t)r);
        read_bytes += (std::uint64_t)r;
    }
    return hasher.digest();
}

}  // namespace plexaro::stepcache
