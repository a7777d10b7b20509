// The first bytes of a compressed file, decompressed as it is read: gzip
// (BGZF is a series of gzip members), bzip2 and xz, each over any number of
// concatenated streams, as their command-line tools read them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace plexaro::vantum {

enum class Compression { gzip, bzip2, xz };

class Decompressor {
public:
    enum class Status {
        more,   // give it the next compressed bytes
        full,   // the output reached the limit asked for
        end,    // the data ended (what follows a stream is not another one)
        error,  // the data is corrupt
    };

    // Decompresses into `out`.
    Decompressor(Compression kind, std::string &out);
    ~Decompressor();
    Decompressor(const Decompressor &) = delete;
    Decompressor &operator=(const Decompressor &) = delete;

    // Decompresses from the file's next bytes `in` (advanced past what was
    // used) until `out` holds `limit` bytes (`full`; the rest of `in` is
    // for the next call) or `in` is used up (`more`).
    Status feed(std::string_view &in, std::size_t limit);

    // The file has no more bytes: `end` when it ended between streams,
    // `error` when it was cut inside one.
    Status finish();

    struct Engine;

private:
    std::unique_ptr<Engine> engine_;
};

}  // namespace plexaro::vantum
