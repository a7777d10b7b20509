// Reads from a file that never outlast a deadline, without a thread per
// read: data already in memory is read on the caller's thread with a read
// that refuses to wait; only a read that would have to wait for the device
// goes to a helper thread, which is kept for the next such read. A file
// system that cannot tell whether a read would wait is read directly when
// it is held in memory or on a local disk (tmpfs, overlay and the like),
// and through the helper otherwise (network and user-space file systems).
// A read stuck in the kernel (a hung network mount) costs the caller no
// more than its deadline: the caller stops waiting and leaves that helper
// to finish and end on its own.
#pragma once

#include "vantum/preview.hpp"

#include <sys/types.h>

#include <cstddef>

namespace plexaro::vantum {

// The ways of reading, replaceable in tests. `try_read` must not wait: it
// fails with EAGAIN when the data is not at hand (or with EOPNOTSUPP when it
// cannot tell); `read` may wait; `local` says whether the file lies in
// memory or on a local disk, where a read cannot hang.
struct ReadOps {
    ssize_t (*try_read)(int fd, void *buf, std::size_t size, off_t offset);
    ssize_t (*read)(int fd, void *buf, std::size_t size, off_t offset);
    bool (*local)(int fd);
};

const ReadOps &system_read_ops();

// Sequential reads of one open regular file, all bounded by one deadline.
class BoundedReader {
public:
    enum class Status { data, end, timed_out };

    BoundedReader(int fd, Clock::time_point deadline, const ReadOps &ops = system_read_ops())
        : fd_(fd), deadline_(deadline), ops_(&ops) {}

    // The next bytes into `buf`: `data` with `got` > 0, `end` at the end of
    // the file or on a read error (which ends the text as it ends head's
    // output), or `timed_out` once the deadline has passed.
    Status next(char *buf, std::size_t size, std::size_t &got);

private:
    int fd_;
    Clock::time_point deadline_;
    const ReadOps *ops_;
    off_t offset_ = 0;
    bool try_first_ = true;  // until the file system says it cannot tell
    bool direct_ = false;    // ... and then, whether to read without a helper
};

// Helper threads started, and reads handed to helpers, so far in this
// process (for tests).
std::size_t read_helpers_started();
std::size_t reads_handed_over();

}  // namespace plexaro::vantum
