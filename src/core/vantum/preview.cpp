#include "vantum/preview.hpp"

#include "common/text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace plexaro::vantum {

bool PreviewBuilder::feed(std::string_view bytes) {
    if (invalid_) return false;
    std::string joined;
    std::string_view data = bytes;
    if (!carry_.empty()) {
        joined = carry_;
        joined.append(bytes);
        carry_.clear();
        data = joined;
    }
    char32_t cp;
    std::size_t length;
    for (std::size_t i = 0; i < data.size(); i += length) {
        switch (text::decode_utf8(data, i, cp, length)) {
        case text::Utf8Status::ok:
            take(cp, data.substr(i, length));
            break;
        case text::Utf8Status::truncated:
            carry_.assign(data.substr(i));
            return true;
        case text::Utf8Status::invalid:
            invalid_ = true;
            return false;
        }
    }
    return true;
}

void PreviewBuilder::take(char32_t cp, std::string_view bytes) {
    // The host reads text with universal newlines: "\r\n" and a lone "\r"
    // both become "\n".
    if (cp == U'\r') {
        after_cr_ = true;
        cp = U'\n';
        bytes = "\n";
    } else if (cp == U'\n' && after_cr_) {
        after_cr_ = false;
        return;
    } else {
        after_cr_ = false;
    }
    bool space = text::is_unicode_space(cp);
    if (!started_) {
        if (space) return;
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
}

std::optional<std::string> PreviewBuilder::finish() {
    if (!carry_.empty()) invalid_ = true;  // the text ends inside a character
    if (invalid_ || content_end_ == 0) return std::nullopt;
    return kept_.substr(0, content_end_);
}

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::optional<std::string> read_preview(const std::string &path, std::size_t lines,
                                        std::size_t chars, Clock::time_point deadline) {
    // Checking the type before opening keeps a FIFO from blocking the open
    // and a device from being opened at all.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    // The name may have been replaced between the two looks.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);

    PreviewBuilder builder(chars);
    std::size_t seen_lines = 0;
    char buffer[16384];
    while (seen_lines < lines) {
        if (Clock::now() >= deadline) return std::nullopt;
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        // A read error ends the text where it stands, as it ends head's output.
        if (got <= 0) break;
        std::size_t used = (std::size_t) got;
        for (const char *p = buffer, *end = buffer + got;
             (p = (const char *) std::memchr(p, '\n', end - p)) != nullptr; ++p) {
            if (++seen_lines == lines) {
                used = (std::size_t) (p - buffer) + 1;
                break;
            }
        }
        if (!builder.feed(std::string_view(buffer, used))) return std::nullopt;
    }
    if (Clock::now() > deadline) return std::nullopt;
    return builder.finish();
}

namespace {

// What one helper thread works through, shared with the caller; a thread
// the caller has given up on keeps it alive until its read returns.
struct Batch {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<PreviewRequest> requests;
    PreviewReader reader;
    Clock::duration timeout{};
    std::vector<std::optional<std::string>> results;
    std::size_t finished = 0;        // requests [0, finished) have results
    bool reading = false;            // request `finished` is being read
    Clock::time_point started;       // ... since then
    bool abandoned = false;
};

void work(std::shared_ptr<Batch> batch) {
    for (std::size_t i = 0; i < batch->requests.size(); ++i) {
        Clock::time_point start = Clock::now();
        {
            std::lock_guard lock(batch->mutex);
            if (batch->abandoned) return;
            batch->reading = true;
            batch->started = start;
        }
        std::optional<std::string> result;
        try {
            result = batch->reader(batch->requests[i], start + batch->timeout);
        } catch (...) {
            result.reset();
        }
        {
            std::lock_guard lock(batch->mutex);
            if (batch->abandoned) return;
            batch->results[i] = std::move(result);
            batch->finished = i + 1;
            batch->reading = false;
        }
    }
    // Only the end is announced: waking the caller for every file would
    // cost more than the reads themselves. The caller wakes on its own at
    // each deadline it knows of.
    batch->changed.notify_all();
}

}  // namespace

std::vector<std::optional<std::string>> read_previews(
    const std::vector<PreviewRequest> &requests, Clock::duration timeout,
    const PreviewReader &reader) {
    PreviewReader read = reader ? reader : [](const PreviewRequest &r, Clock::time_point deadline) {
        return read_preview(r.path, r.lines, r.chars, deadline);
    };
    std::vector<std::optional<std::string>> out(requests.size());
    std::size_t next = 0;
    while (next < requests.size()) {
        auto batch = std::make_shared<Batch>();
        batch->requests.assign(requests.begin() + (std::ptrdiff_t) next, requests.end());
        batch->reader = read;
        batch->timeout = timeout;
        batch->results.resize(batch->requests.size());
        try {
            std::thread(work, batch).detach();
        } catch (const std::system_error &) {
            // No thread to spare: read here; each read still stops at its
            // deadline between pieces.
            for (; next < requests.size(); ++next) {
                try {
                    out[next] = read(requests[next], Clock::now() + timeout);
                } catch (...) {
                }
            }
            break;
        }

        std::unique_lock lock(batch->mutex);
        bool gave_up = false;
        while (batch->finished < batch->requests.size()) {
            // Between two files no read is running, and the next one starts
            // later than now, so its deadline is no earlier than this.
            Clock::time_point now = Clock::now();
            Clock::time_point limit = batch->reading ? batch->started + timeout : now + timeout;
            if (now >= limit) {
                gave_up = true;
                batch->abandoned = true;
                break;
            }
            batch->changed.wait_until(lock, limit);
        }
        for (std::size_t i = 0; i < batch->finished; ++i)
            out[next + i] = std::move(batch->results[i]);
        // The file that ran out of time keeps no preview.
        next += batch->finished + (gave_up ? 1 : 0);
    }
    return out;
}

}  // namespace plexaro::vantum
