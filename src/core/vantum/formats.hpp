// What a file is, told by its first bytes: the binary formats of the field
// (BAM, CRAM, BCF and their indexes) and the common containers around them
// (gzip and its block form BGZF, bzip2, xz, zstd, zip, PNG, PDF, HDF5).
#pragma once

#include "vantum/decompress.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace plexaro::vantum {

// Bytes of a file's start enough to recognise every format below.
inline constexpr std::size_t kMagicBytes = 32;

struct RawFormat {
    std::string name;                        // empty: nothing recognised (plain data)
    std::optional<Compression> compression;  // the data inside may be looked at
};

// The format of a file starting with `head` (at least kMagicBytes bytes
// unless the file is shorter).
RawFormat detect_raw(std::string_view head);

// The format of data found inside a compressed file (BAM, BCF, BAI, CSI and
// TBI all live inside BGZF), or empty when it is none of those.
std::string detect_inside(std::string_view head);

}  // namespace plexaro::vantum
