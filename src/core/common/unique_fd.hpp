// The owner of one open file descriptor: closed when the owner goes, moved
// but never copied (a copy would close it twice).
#pragma once

#include <unistd.h>

namespace plexaro::files {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }

    // Gives the descriptor up without closing it.
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the descriptor held (if any) and holds `fd` instead.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

    // Closes now and says whether that worked: a file written through the
    // descriptor may report a failed write only here. Holds nothing after.
    bool close() noexcept { return fd_ < 0 || ::close(release()) == 0; }

private:
    int fd_ = -1;
};

}  // namespace plexaro::files
