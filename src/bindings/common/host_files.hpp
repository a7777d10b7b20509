// Shared files from the host's side: the OS lock and the unique temporary
// name of common/files, with the host's paths and OSError.
#pragma once

#include "common/files.hpp"
#include "common/host.hpp"

#include <functional>
#include <memory>

namespace plexaro::host {

// The host's OSError (errno, message, filename) for a failed file operation.
[[noreturn]] void raise_path_error(const files::PathError &error);

// Runs `action`, turning the file errors of common/files into the host's
// OSError (PermissionError for a directory that is not private).
template <typename F>
auto with_host_errors(F &&action) -> decltype(action()) {
    try {
        return action();
    } catch (const files::PathError &e) {
        raise_path_error(e);
    } catch (const files::NotPrivateError &e) {
        raise(PyExc_PermissionError, e.what());
    }
}

// The exclusive lock on the file at `path`, taken with the interpreter lock
// released while waiting. Released when the returned object is destroyed.
std::unique_ptr<files::ExclusiveFileLock> lock_file(nb::handle path);

// A new empty file with a unique name beside `target` (see
// files::create_temp_beside): its open descriptor and its path as host str.
struct __attribute__((visibility("hidden"))) HostTempFile {
    int fd;
    nb::str path;
};
HostTempFile create_temp_beside(nb::handle target, unsigned mode = 0666);

// Writes a file through a unique temporary file beside it that is renamed
// over `path` once complete and flushed to disk, so readers never see a
// half-written file and concurrent writers never share a temporary. `fill`
// receives the open binary file object. The file gets `mode` when it is not
// negative; otherwise an existing file keeps its permissions and a new one
// gets those of a plain open(). On any error the temporary is removed and
// the error propagates.
void write_file_atomically(nb::handle path, const std::function<void(nb::handle file)> &fill,
                           int mode = -1);

}  // namespace plexaro::host
