#include "vantum/bounded_read.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace plexaro::vantum {

namespace {

ssize_t try_read_now(int fd, void *buf, std::size_t size, off_t offset) {
#ifdef RWF_NOWAIT
    iovec iov{buf, size};
    return ::preadv2(fd, &iov, 1, offset, RWF_NOWAIT);
#else
    (void)fd, (void)buf, (void)size, (void)offset;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

ssize_t read_waiting(int fd, void *buf, std::size_t size, off_t offset) {
    return ::pread(fd, buf, size, offset);
}

// File systems whose reads cannot hang: in memory or on a local disk.
bool local_file_system(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return false;
    switch ((unsigned long)fs.f_type) {
    case 0x01021994:  // tmpfs
    case 0x858458F6:  // ramfs
    case 0x794C7630:  // overlay
    case 0x0000EF53:  // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0xF2F52010:  // f2fs
    case 0x2FC12FC1:  // zfs
    case 0x73717368:  // squashfs
    case 0x00009660:  // iso9660
    case 0x00004D44:  // vfat
    case 0x2011BAB0:  // exfat
        return true;
    default: return false;
    }
}

const ReadOps kSystemOps{try_read_now, read_waiting, local_file_system};

// One read handed to a helper. It owns its descriptor and buffer, so a
// caller that stops waiting leaves nothing the helper could touch.
struct Job {
    ssize_t (*read)(int, void *, std::size_t, off_t);
    int fd;
    off_t offset;
    std::vector<char> buffer;
    ssize_t got = -1;
    int error = 0;
    bool done = false;
};

struct Helper {
    std::mutex mutex;
    std::condition_variable changed;
    std::shared_ptr<Job> job;  // handed over, not yet done
    bool retired = false;      // its caller gave up on it: end after the read
};

std::atomic<std::size_t> helpers_started{0};
std::atomic<std::size_t> handed_over{0};

// Idle helpers, kept for the next read. Never destroyed, so helpers still
// waiting when the process ends find their lock intact.
struct Pool {
    std::mutex mutex;
    std::vector<std::shared_ptr<Helper>> idle;
};
Pool *current_pool = nullptr;

Pool &pool() {
    static std::once_flag once;
    std::call_once(once, [] {
        current_pool = new Pool;
        // A forked child has none of the parent's threads (and may find the
        // lock held by one): it starts over with an empty pool.
        ::pthread_atfork(nullptr, nullptr, [] { current_pool = new Pool; });
    });
    return *current_pool;
}

void serve(std::shared_ptr<Helper> helper) {
    std::unique_lock lock(helper->mutex);
    while (true) {
        helper->changed.wait(lock, [&] { return helper->job != nullptr; });
        std::shared_ptr<Job> job = helper->job;
        lock.unlock();
        ssize_t got;
        do got = job->read(job->fd, job->buffer.data(), job->buffer.size(), job->offset);
        while (got < 0 && errno == EINTR);
        int error = got < 0 ? errno : 0;
        ::close(job->fd);
        lock.lock();
        job->got = got;
        job->error = error;
        job->done = true;
        helper->job.reset();
        helper->changed.notify_all();
        if (helper->retired) return;
    }
}

std::shared_ptr<Helper> take_helper() {
    {
        std::lock_guard lock(pool().mutex);
        if (!pool().idle.empty()) {
            auto helper = std::move(pool().idle.back());
            pool().idle.pop_back();
            return helper;
        }
    }
    auto helper = std::make_shared<Helper>();
    std::thread(serve, helper).detach();
    ++helpers_started;
    return helper;
}

void return_helper(std::shared_ptr<Helper> helper) {
    std::lock_guard lock(pool().mutex);
    pool().idle.push_back(std::move(helper));
}

enum class Outcome { done, timed_out, no_helper };

// Runs `ops.read` on a helper until `deadline`.
Outcome read_on_helper(int fd, char *buf, std::size_t size, off_t offset,
                       Clock::time_point deadline, const ReadOps &ops, ssize_t &got) {
    int own_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own_fd < 0) {
        got = -1;
        return Outcome::done;
    }
    ++handed_over;
    auto job = std::make_shared<Job>();
    job->read = ops.read;
    job->fd = own_fd;
    job->offset = offset;
    job->buffer.resize(size);
    std::shared_ptr<Helper> helper;
    try {
        helper = take_helper();
    } catch (const std::system_error &) {
        ::close(own_fd);
        return Outcome::no_helper;
    }
    std::unique_lock lock(helper->mutex);
    helper->job = job;
    helper->changed.notify_all();
    if (!helper->changed.wait_until(lock, deadline, [&] { return job->done; })) {
        helper->retired = true;
        return Outcome::timed_out;
    }
    lock.unlock();
    return_helper(std::move(helper));
    got = job->got;
    if (got > 0) std::memcpy(buf, job->buffer.data(), (std::size_t)got);
    errno = job->error;
    return Outcome::done;
}

}  // namespace

const ReadOps &system_read_ops() { return kSystemOps; }

std::size_t read_helpers_started() { return helpers_started.load(); }
std::size_t reads_handed_over() { return handed_over.load(); }

BoundedReader::Status BoundedReader::next(char *buf, std::size_t size, std::size_t &got) {
    got = 0;
    while (true) {
        if (Clock::now() >= deadline_) return Status::timed_out;
        ssize_t n = -1;
        bool tried = false;
        if (try_first_) {
            n = ops_->try_read(fd_, buf, size, offset_);
            tried = n >= 0 || errno != EAGAIN;
            if (n < 0 && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS)) {
                try_first_ = false;
                tried = false;
                direct_ = ops_->local(fd_);
            }
            if (n < 0 && errno == EINTR) continue;
        }
        if (direct_) {
            do n = ops_->read(fd_, buf, size, offset_);
            while (n < 0 && errno == EINTR);
        } else if (!tried) {
            switch (read_on_helper(fd_, buf, size, offset_, deadline_, *ops_, n)) {
            case Outcome::done: break;
            case Outcome::timed_out: return Status::timed_out;
            case Outcome::no_helper:
                // No thread to spare: wait here, the deadline still holds
                // between pieces.
                do n = ops_->read(fd_, buf, size, offset_);
                while (n < 0 && errno == EINTR);
                break;
            }
        }
        if (n <= 0) return Status::end;
        offset_ += n;
        got = (std::size_t)n;
        return Status::data;
    }
}

}  // namespace plexaro::vantum
