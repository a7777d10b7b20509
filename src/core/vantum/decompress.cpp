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
        z_.avail_in = (uInt)std::min<std::size_t>(in.size(), UINT_MAX);
        z_.next_out = reinterpret_cast<Bytef *>(out);
        z_.avail_out = (uInt)std::min<std::size_t>(room, UINT_MAX);
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
        s_.avail_in = (unsigned)std::min<std::size_t>(in.size(), UINT_MAX);
        s_.next_out = out;
        s_.avail_out = (unsigned)std::min<std::size_t>(room, UINT_MAX);
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
    case Compression::xz:
        return std::string_view(
            "\xfd"
            "7zXZ\0",
            6);
    }
    return {};
}

}  // namespace

struct Decompressor::Engine {
    std::unique_ptr<Stream> stream;
    std::string_view magic;
    std::string &out;
    bool zero_padding;     // zero bytes may follow a stream (gzip)
    bool between = false;  // the last stream ended; the next may follow
    std::string held;      // the start of what follows, too short to tell yet
    Status final = Status::more;

    // Decompresses from `in` into `out` up to `limit` bytes.
    Status run(std::string_view &in, std::size_t limit, Step &step) {
        std::size_t old = out.size(), made = 0;
        out.resize(limit);
        step = stream->run(in, out.data() + old, limit - old, made);
        out.resize(old + made);
        if (step == Step::error) return final = Status::error;
        if (step == Step::stream_end) between = true;
        return Status::more;
    }

    // After a stream: whether another follows (its magic, after the zero
    // padding gzip allows), taking the bytes that tell from `in`.
    Status next_stream(std::string_view &in, std::size_t limit) {
        if (zero_padding && held.empty())
            while (!in.empty() && in[0] == '\0') in.remove_prefix(1);
        std::size_t take = std::min(in.size(), magic.size() - held.size());
        held.append(in.substr(0, take));
        in.remove_prefix(take);
        if (held != magic.substr(0, held.size())) {
            // gzip readers refuse other data after a member; the others stop
            // before it.
            return final = zero_padding ? Status::error : Status::end;
        }
        if (held.size() < magic.size()) return Status::more;
        if (!stream->start()) return final = Status::error;
        between = false;
        std::string_view start = held;
        Step step;
        if (run(start, limit, step) == Status::error || !start.empty())
            return final = Status::error;
        held.clear();
        return Status::more;
    }
};

Decompressor::Decompressor(Compression kind, std::string &out) {
    std::unique_ptr<Stream> stream;
    switch (kind) {
    case Compression::gzip: stream = std::make_unique<GzipStream>(); break;
    case Compression::bzip2: stream = std::make_unique<Bzip2Stream>(); break;
    case Compression::xz: stream = std::make_unique<XzStream>(); break;
    }
    engine_.reset(new Engine{std::move(stream),
                             magic_of(kind),
                             out,
                             kind == Compression::gzip,
                             false,
                             {},
                             Status::more});
    if (!engine_->stream->start()) engine_->final = Status::error;
}

Decompressor::~Decompressor() = default;

Decompressor::Status Decompressor::finish() {
    Engine &e = *engine_;
    if (e.final != Status::more) return e.final;
    return e.final = e.between ? Status::end : Status::error;
}

Decompressor::Status Decompressor::feed(std::string_view &in, std::size_t limit) {
    Engine &e = *engine_;
    while (e.final == Status::more) {
        if (e.out.size() >= limit) return Status::full;
        if (e.between) {
            if (e.next_stream(in, limit) != Status::more) break;
            if (e.between) return Status::more;  // too few bytes to tell
            continue;
        }
        if (in.empty()) return Status::more;
        Step step;
        if (e.run(in, limit, step) != Status::more) break;
        if (step == Step::need_input) return Status::more;
    }
    return e.final;
}

}  // namespace plexaro::vantum
