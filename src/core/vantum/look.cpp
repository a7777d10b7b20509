#include "vantum/look.hpp"

#include "vantum/formats.hpp"

#include "common/unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace plexaro::vantum {

namespace {

constexpr std::size_t kChunk = 128 * 1024;

// Feeds `data` up to the line break that completes line `lines`; true once
// nothing more is wanted (that line is complete or the text is not text).
bool feed_lines(PreviewBuilder &builder, std::string_view data, std::size_t lines,
                std::size_t &seen) {
    std::size_t used = data.size();
    bool complete = false;
    for (const char *p = data.data(), *end = data.data() + data.size();
         seen < lines && (p = (const char *)std::memchr(p, '\n', end - p)) != nullptr; ++p) {
        if (++seen == lines) {
            used = (std::size_t)(p - data.data()) + 1;
            complete = true;
        }
    }
    return !builder.feed(data.substr(0, used)) || complete;
}

std::size_t line_breaks(std::string_view text) {
    std::size_t n = 0;
    for (const char *p = text.data(), *end = text.data() + text.size();
         (p = (const char *)std::memchr(p, '\n', end - p)) != nullptr; ++p)
        ++n;
    return n;
}

// The start of a compressed file's data, decompressed in steps until its
// first `lines` lines are there or kDecompressedBytes are; false when the
// data is corrupt, or cut before those lines, or reading ran out of time.
bool decompress_start(std::string &out, Compression kind, BoundedReader &reader, char *buf,
                      std::string_view in, bool at_end, std::size_t lines) {
    using Status = Decompressor::Status;
    Decompressor decompressor(kind, out);
    std::size_t limit = 0;
    while (line_breaks(out) < lines && out.size() < kDecompressedBytes) {
        limit = std::min(limit + kDecompressStep, kDecompressedBytes);
        Status status;
        while ((status = decompressor.feed(in, limit)) == Status::more) {
            if (!in.empty()) return false;  // stuck: nothing used and nothing made
            if (at_end) {
                // A cut file still shows the lines it holds whole.
                status = decompressor.finish();
                if (status == Status::error) return line_breaks(out) >= lines;
                break;
            }
            std::size_t got = 0;
            switch (reader.next(buf, kChunk, got)) {
            case BoundedReader::Status::timed_out: return false;
            case BoundedReader::Status::end: at_end = true; break;
            case BoundedReader::Status::data: break;
            }
            in = std::string_view(buf, got);
        }
        if (status == Status::error) return false;
        if (status == Status::end) break;
    }
    return true;
}

void look_inside(FileLook &look, Compression kind, BoundedReader &reader, char *buf,
                 std::string_view first, bool at_end, std::size_t lines, std::size_t chars) {
    std::string out;
    out.reserve(kDecompressedBytes);
    if (!decompress_start(out, kind, reader, buf, first, at_end, lines)) return;
    if (std::string inside = detect_inside(out); !inside.empty()) {
        look.format = std::move(inside);
        return;
    }
    PreviewBuilder builder(chars);
    std::size_t seen = 0;
    feed_lines(builder, out, lines, seen);
    look.preview = builder.finish(/*cut=*/out.size() >= kDecompressedBytes);
    look.decompressed = look.preview.has_value();
}

}  // namespace

FileLook look_at_file(const std::string &path, std::size_t lines, std::size_t chars,
                      Clock::time_point deadline, const ReadOps &ops) {
    FileLook look;
    // Checking the type before opening keeps a FIFO from blocking the open
    // and a device from being opened at all.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return look;
    files::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) return look;
    // The name may have been replaced between the two looks.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return look;
    // Reads wait as they would without the flag (only one kind of read may not).
    ::fcntl(fd.get(), F_SETFL, 0);

    static thread_local std::unique_ptr<char[]> buffer(new char[kChunk]);
    char *buf = buffer.get();
    BoundedReader reader(fd.get(), deadline, ops);

    // Enough of the start to tell the format.
    std::size_t have = 0;
    bool at_end = false;
    while (have < kMagicBytes && !at_end) {
        std::size_t got = 0;
        switch (reader.next(buf + have, kChunk - have, got)) {
        case BoundedReader::Status::timed_out: return look;
        case BoundedReader::Status::end: at_end = true; break;
        case BoundedReader::Status::data: have += got; break;
        }
    }
    std::string_view first(buf, have);
    RawFormat raw = detect_raw(first.substr(0, kMagicBytes));
    look.format = std::move(raw.name);
    if (raw.compression) {
        look_inside(look, *raw.compression, reader, buf, first, at_end, lines, chars);
    } else if (look.format.empty()) {
        PreviewBuilder builder(chars);
        std::size_t seen = 0;
        std::string_view piece = first;
        while (!feed_lines(builder, piece, lines, seen) && !at_end) {
            std::size_t got = 0;
            switch (reader.next(buf, kChunk, got)) {
            case BoundedReader::Status::timed_out: return look;
            case BoundedReader::Status::end: at_end = true; break;
            case BoundedReader::Status::data: break;
            }
            piece = std::string_view(buf, got);
        }
        look.preview = builder.finish();
    }
    if (Clock::now() > deadline) {
        look.preview.reset();
        look.decompressed = false;
    }
    return look;
}

std::vector<FileLook> look_at_files(const std::vector<LookRequest> &requests,
                                    Clock::duration timeout, const ReadOps &ops) {
    std::vector<FileLook> looks;
    looks.reserve(requests.size());
    for (const LookRequest &r : requests)
        looks.push_back(look_at_file(r.path, r.lines, r.chars, Clock::now() + timeout, ops));
    return looks;
}

}  // namespace plexaro::vantum
