// An exclusive lock between processes on a lock file (flock(2)), held for
// the lifetime of the object. The lock file is created when missing, never
// through a symbolic link, and is left in place: removing it would let two
// processes lock different files of the same name.
#pragma once

#include <string>

namespace plexaro::common {

class FileLock {
public:
    // Blocks until the lock is held. Throws std::system_error (with errno)
    // when the lock file cannot be opened or locked.
    explicit FileLock(const std::string &lock_path);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    int fd_ = -1;
};

}  // namespace plexaro::common
