// Content digests of the step cache: XXH3-128, fast enough (several GB/s on
// one core) that hashing a step's inputs costs far less than copying them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace plexaro::stepcache {

struct Digest {
    std::uint64_t high = 0, low = 0;

    std::string hex() const;  // 32 lower-case hexadecimal digits
    static std::optional<Digest> from_hex(std::string_view text);
    friend bool operator==(const Digest &, const Digest &) = default;
};

// Streaming XXH3-128.
class Hasher {
public:
    Hasher();
    ~Hasher();
    Hasher(const Hasher &) = delete;
    Hasher &operator=(const Hasher &) = delete;

    void update(const void *data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    // A length-prefixed field: ("ab", "c") and ("a", "bc") never hash alike.
    void field(std::string_view bytes);
    void number(std::uint64_t value);
    Digest digest() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The digest of everything readable from `fd` (read from its current offset
// to its end); `read_bytes` receives how much that was. Throws
// sandbox::FsError naming `path` on a read error.
Digest hash_stream(int fd, const std::string &path, std::uint64_t &read_bytes);

}  // namespace plexaro::stepcache
