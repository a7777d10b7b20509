#include "vantum/formats.hpp"

#include "common/text.hpp"

namespace plexaro::vantum {

namespace {

using namespace std::string_view_literals;

// BGZF is gzip with a "BC" field in the header's extra data.
bool is_bgzf(std::string_view h) {
    if (h.size() < 12 || !((unsigned char)h[3] & 0x04)) return false;  // FEXTRA
    std::size_t xlen = (unsigned char)h[10] | ((std::size_t)(unsigned char)h[11] << 8);
    std::string_view extra = h.substr(12, std::min(xlen, h.size() - 12));
    while (extra.size() >= 4) {
        std::size_t len = (unsigned char)extra[2] | ((std::size_t)(unsigned char)extra[3] << 8);
        if (extra[0] == 'B' && extra[1] == 'C') return true;
        if (extra.size() < 4 + len) break;
        extra.remove_prefix(4 + len);
    }
    return false;
}

// The index formats read the same raw or compressed.
std::string index_format(std::string_view h) {
    if (text::starts_with(h, "BAI\1"sv)) return "BAI index (BAM index)";
    if (text::starts_with(h, "CSI\1"sv)) return "CSI index (coordinate-sorted index)";
    if (text::starts_with(h, "TBI\1"sv)) return "TBI index (tabix index)";
    return {};
}

bool is_bzip2(std::string_view h) {
    // "BZh", the block size digit, then a block or the end of the stream.
    return h.size() >= 10 && text::starts_with(h, "BZh"sv) && h[3] >= '1' && h[3] <= '9' &&
           (h.substr(4, 6) == "\x31\x41\x59\x26\x53\x59"sv ||
            h.substr(4, 6) == "\x17\x72\x45\x38\x50\x90"sv);
}

}  // namespace

RawFormat detect_raw(std::string_view h) {
    if (text::starts_with(h, "\x1f\x8b"sv)) {
        return {is_bgzf(h) ? "BGZF-compressed (bgzip, reads as gzip)" : "gzip-compressed",
                Compression::gzip};
    }
    if (is_bzip2(h)) return {"bzip2-compressed", Compression::bzip2};
    if (text::starts_with(h,
                          "\xfd"
                          "7zXZ\0"sv))
        return {"xz-compressed", Compression::xz};
    if (text::starts_with(h, "BAM\1"sv)) return {"BAM (binary alignments, uncompressed)", {}};
    if (text::starts_with(h, "BCF\2"sv)) return {"BCF (binary variant calls, uncompressed)", {}};
    if (h.size() >= 6 && text::starts_with(h, "CRAM"sv) && h[4] >= 1 && h[4] <= 9) {
        std::string name = "CRAM ";
        name += std::to_string((int)h[4]) + "." + std::to_string((unsigned char)h[5]);
        return {name + " (compressed alignments)", {}};
    }
    if (std::string index = index_format(h); !index.empty()) return {index, {}};
    if (text::starts_with(h, "\x28\xb5\x2f\xfd"sv)) return {"zstd-compressed", {}};
    if (text::starts_with(h, "PK\3\4"sv)) return {"zip archive", {}};
    if (text::starts_with(h, "\x89PNG"sv)) return {"PNG image", {}};
    if (text::starts_with(h, "%PDF-"sv)) return {"PDF document", {}};
    if (text::starts_with(h, "\x89HDF"sv)) return {"HDF5 data", {}};
    return {};
}

std::string detect_inside(std::string_view h) {
    if (text::starts_with(h, "BAM\1"sv)) return "BAM (binary alignments, BGZF-compressed)";
    if (text::starts_with(h, "BCF\2"sv)) return "BCF (binary variant calls, BGZF-compressed)";
    return index_format(h);
}

}  // namespace plexaro::vantum
