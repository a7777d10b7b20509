#include "vantum/decompress.hpp"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <climits>

namespace plexaro::vantum {

namespace {

enum class Step { progress, stream_end, need_input, error };

// One stream of one compression, restartable for the next stream.
class Stream {
public:
    virtual ~Stream() = default;
    virtual bool start() = 0;
    // Decompresses from `in` (advanced past what was used) into `out`.
    virtual Step run(std::string_view &in, char *out, std::size_t room, std::size_t &made) = 0;
};

class GzipStream final : public Stream {
public:
    ~GzipStream() override {
        if (live_) inflateEnd(&z_);
    }
    bool start() override {
        if (live_) return inflateReset(&z_) == Z_OK;
        z_ = {};
        live_ = inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;  // gzip framing only
        return live_;
    }
    Step run(std::string_view &in, char *out, std::size_t room, std::size_t &made) override {
        z_.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
        z_.avail_in = (uInt) std::min<std::size_t>(in.size(), UINT_MAX);
        z_.next_out = reinterpret_cast<Bytef *>(out);
        z_.avail_out = (uInt) std::min<std::size_t>(room, UINT_MAX);
        int rc = inflate(&z_, Z_SYNC_FLUSH);
        in.remove_prefix(in.size() > UINT_MAX ? 0 : in.size() - z_.avail_in);
        made = room - z_.avail_out;
        switch (rc) {
        case Z_STREAM_END: return Step::stream_end;
        case Z_OK: return Step::progress;
        case Z_BUF_ERROR: return Step::need_input;
        default: return Step::error;
        }
    }

private:
    z_stream z_{};
    bool live_ = false;
};

class Bzip2Stream final : public Stream {
public:
    ~Bzip2Stream() override {
        if (live_) BZ2_bzDecompressEnd(&s_);
    }
    bool start() override {
        if (live_) BZ2_bzDecompressEnd(&s_);
        s_ = {};
        live_ = BZ2_bzDecompressInit(&s_, 0, 0) == BZ_OK;
        return live_;
    }
    Step run(std::string_view &in, char *out, std::size_t room, std::size_t &made) override {
        s_.next_in = const_cast<char *>(in.data());
        s_.avail_in = (unsigned) std::min<std::size_t>(in.size(), UINT_MAX);
        s_.next_out = out;
        s_.avail_out = (unsigned) std::min<std::size_t>(room, UINT_MAX);
        unsigned before = s_.avail_in;
        int rc = BZ2_bzDecompress(&s_);
        in.remove_prefix(before - s_.avail_in);
        made = room - s_.avail_out;
        if (rc == BZ_STREAM_END) return Step::stream_end;
        if (rc != BZ_OK) return Step::error;
        return made == 0 && before == s_.avail_in ? Step::need_input : Step::progress;
    }

private:
    bz_stream s_{};
    bool live_ = false;
};

class XzStream final : public Stream {
public:
    ~XzStream() override { lzma_end(&s_); }
    bool start() override {
        lzma_end(&s_);
        s_ = LZMA_STREAM_INIT;
        return lzma_stream_decoder(&s_, UINT64_MAX, 0) == LZMA_OK;
    }
    Step run(std::string_view &in, char *out, std::size_t room, std::size_t &made) override {
        s_.next_in = reinterpret_cast<const uint8_t *>(in.data());
        s_.avail_in = in.size();
        s_.next_out = reinterpret_cast<uint8_t *>(out);
        s_.avail_out = room;
        lzma_ret rc = lzma_code(&s_, LZMA_RUN);
        in.remove_prefix(in.size() - s_.avail_in);
        made = room - s_.avail_out;
        switch (rc) {
        case LZMA_STREAM_END: return Step::stream_end;
        case LZMA_OK: return Step::progress;
        case LZMA_BUF_ERROR: return Step::need_input;
        default: return Step::error;
        }
    }

private:
    lzma_stream s_ = LZMA_STREAM_INIT;
};

std::string_view magic_of(Compression kind) {
    switch (kind) {
    case Compression::gzip: return "\x1f\x8b";
    case Compression::bzip2: return "BZh";
    case Compression::xz: return std::string_view("\xfd" "7zXZ\0", 6);
    }
    return {};
}

}  // namespace

struct Decompressor::Engine {
    std::unique_ptr<Stream> stream;
    std::string_view magic;
    std::string &out;
    std::size_t limit;
    bool zero_padding;     // zero bytes may follow a stream (gzip)
    bool between = false;  // the last stream ended; the next may follow
    std::string held;      // bytes after a stream too few to tell whether one follows
    Status final = Status::more;
};

Decompressor::Decompressor(Compression kind, std::string &out, std::size_t limit) {
    std::unique_ptr<Stream> stream;
    switch (kind) {
    case Compression::gzip: stream = std::make_unique<GzipStream>(); break;
    case Compression::bzip2: stream = std::make_unique<Bzip2Stream>(); break;
    case Compression::xz: stream = std::make_unique<XzStream>(); break;
    }
    engine_.reset(new Engine{std::move(stream), magic_of(kind), out, limit,
                             kind == Compression::gzip, false, {}, Status::more});
    if (!engine_->stream->start()) engine_->final = Status::error;
}

Decompressor::~Decompressor() = default;

Decompressor::Status Decompressor::finish() {
    Engine &e = *engine_;
    if (e.final != Status::more) return e.final;
    if (e.out.size() >= e.limit) return Status::full;
    return e.final = e.between ? Status::end : Status::error;
}

Decompressor::Status Decompressor::feed(std::string_view in) {
    Engine &e = *engine_;
    if (e.final != Status::more) return e.final;
    std::string joined;
    while (true) {
        if (e.out.size() >= e.limit) return Status::full;
        if (e.between) {
            // Another stream follows only when its magic does.
            if (!e.held.empty()) {
                joined = std::move(e.held);
                e.held.clear();
                joined.append(in);
                in = joined;
            }
            if (e.zero_padding)
                while (!in.empty() && in[0] == '\0') in.remove_prefix(1);
            std::size_t n = std::min(in.size(), e.magic.size());
            if (in.substr(0, n) != e.magic.substr(0, n)) {
                // gzip readers refuse other data after a member; the others
                // stop before it.
                return e.final = e.zero_padding ? Status::error : Status::end;
            }
            if (n < e.magic.size()) {
                e.held.assign(in);
                return Status::more;
            }
            if (!e.stream->start()) return e.final = Status::error;
            e.between = false;
        }
        if (in.empty()) return Status::more;
        std::size_t old = e.out.size(), made = 0;
        e.out.resize(e.limit);
        Step step = e.stream->run(in, e.out.data() + old, e.limit - old, made);
        e.out.resize(old + made);
        switch (step) {
        case Step::error: return e.final = Status::error;
        case Step::stream_end: e.between = true; break;
        case Step::need_input: return Status::more;
        case Step::progress: break;
        }
    }
}

}  // namespace plexaro::vantum
