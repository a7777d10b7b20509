// Reads from a file that never outlast a deadline, without a thread per
// read: data already in memory is read on the caller's thread with a read
// that refuses to wait; only a read that would have to wait for the device
// (or a file system that cannot say) goes to a helper thread, which is kept
// for the next such read. A read stuck in the kernel (a hung network mount)
// costs the caller no more than its deadline: the caller stops waiting and
// leaves that helper to finish and end on its own.
#pragma once

#include "vantum/preview.hpp"

#include <sys/types.h>

#include <cstddef>

namespace plexaro::vantum {

// The two ways of reading, replaceable in tests. `try_read` must not wait:
// it fails with EAGAIN when the data is not at hand (or with EOPNOTSUPP when
// it cannot tell); `read` may wait.
struct ReadOps {
    ssize_t (*try_read)(int fd, void *buf, std::size_t size, off_t offset);
    ssize_t (*read)(int fd, void *buf, std::size_t size, off_t offset);
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
};

// Helper threads started so far in this process (for tests of their reuse).
std::size_t read_helpers_started();

}  // namespace plexaro::vantum
