// plexaro.helpers.fetchkin: pipeline inputs given as Zenodo or Dropbox links
// are downloaded once into a local directory and replaced by the local path.
#include "common/host.hpp"
#include "common/host_files.hpp"
#include "fetchkin/links.hpp"

#include <algorithm>
#include <cstdio>

namespace host = plexaro::host;
namespace fk = plexaro::fetchkin;
namespace files = plexaro::files;
using namespace nb::literals;

namespace {

struct Fetchkin {};

const host::Logger logger("plexaro.helpers.fetchkin");

// One read (and the connection) may wait this long for the server.
constexpr int kTimeoutSeconds = 120;
constexpr Py_ssize_t kChunkBytes = 1 << 20;

// A whole download must end within a floor plus the time its announced
// size takes at a minimum rate, so a server that trickles a byte now and
// then (each read well within the read time-out) cannot hold a pipeline
// forever. Both can be changed through the environment.
constexpr const char *kMinSecondsVariable = "PLEXARO_DOWNLOAD_MIN_SECONDS";
constexpr const char *kMinRateVariable = "PLEXARO_DOWNLOAD_MIN_RATE";
constexpr double kDefaultMinSeconds = 600;
constexpr double kDefaultMinRate = 64 * 1024;  // bytes per second

struct Deadline {
    double start, floor_seconds, min_rate;
    // Seconds allowed once `expected` bytes are known to be coming.
    double allowed(double expected) const { return floor_seconds + expected / min_rate; }
};

[[noreturn]] void raise_overdue(nb::handle url, double allowed) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.0f", allowed);
    host::raise(PyExc_TimeoutError, "Download of " + host::str(url) + " did not finish within " +
                                        seconds + " seconds (" + kMinSecondsVariable + ", " +
                                        kMinRateVariable + ")");
}

// Streams the body of `url` into a temporary file beside `dest` that is
// renamed into place only once the body is complete: a file under the final
// name is always a whole download, which is all the cache relies on. The
// file gets the permissions a plain open() would give (0666 less the umask).
void download(nb::handle url, nb::handle dest) {
    nb::object clock = host::import("time").attr("monotonic");
    Deadline deadline{
        nb::cast<double>(clock()),
        host::positive_setting(kMinSecondsVariable, kDefaultMinSeconds, "seconds"),
        host::positive_setting(kMinRateVariable, kDefaultMinRate, "bytes per second")};
    host::write_file_atomically(dest, [&](nb::handle file) {
        nb::object response =
            host::import("urllib.request").attr("urlopen")(url, "timeout"_a = kTimeoutSeconds);
        try {
            nb::object announced = nb::getattr(response, "length", nb::none());
            double expected = announced.is_none() ? 0 : nb::cast<double>(announced);
            // read1 returns what has arrived instead of waiting for a whole
            // chunk, so the deadline is checked as the bytes come in.
            nb::object read = nb::getattr(response, "read1", response.attr("read"));
            nb::object write = file.attr("write");
            double received = 0;
            while (true) {
                double allowed = deadline.allowed(std::max(expected, received));
                if (nb::cast<double>(clock()) - deadline.start > allowed)
                    raise_overdue(url, allowed);
                nb::object chunk = read(kChunkBytes);
                if (!host::truthy(chunk)) break;
                write(chunk);
                received += static_cast<double>(nb::len(chunk));
            }
            // A sized read returns short at end of stream instead of raising,
            // so a body cut off early must be caught here: the whole-body
            // read would have raised IncompleteRead.
            nb::object missing = nb::getattr(response, "length", nb::none());
            if (!missing.is_none() && nb::cast<long long>(missing) > 0) {
                nb::object err =
                    host::import("http.client").attr("IncompleteRead")(nb::bytes(""), missing);
                PyErr_SetObject((PyObject *)Py_TYPE(err.ptr()), err.ptr());
                throw nb::python_error();
            }
        } catch (nb::python_error &) {
            // Keep the original error; a failing close must not mask it.
            try {
                response.attr("close")();
            } catch (nb::python_error &) {
            }
            throw;
        }
        response.attr("close")();
    });
}

// Without a directory, downloads go to a directory of the current user's
// own in the system's temporary area: 0700, checked to be a real directory
// of this user, so nobody else can read the downloads or plant a file that
// would be taken for one.
nb::object default_directory() {
    nb::object os = host::import("os");
    nb::object name = nb::str("plexaro_downloads-{}").attr("format")(os.attr("geteuid")());
    nb::object directory =
        host::os_path().attr("join")(host::import("tempfile").attr("gettempdir")(), name);
    std::string path = host::fs_path(directory);
    host::with_host_errors([&] { files::make_private_directory(path); });
    return directory;
}

}  // namespace

NB_MODULE(fetchkin, m) {
    m.doc() = "Download of Zenodo and Dropbox links into a local cache.";

    host::plain_class<Fetchkin>(m, "Fetchkin", "Download cache for pipeline inputs given as links.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<Fetchkin> self, nb::handle temp_dir) {
                new (self.p) Fetchkin();
                if (temp_dir.is_none()) {
                    nb::setattr(self.h, "temp_dir", default_directory());
                    return;
                }
                nb::setattr(self.h, "temp_dir", temp_dir);
                host::import("os").attr("makedirs")(temp_dir, "exist_ok"_a = true);
            },
            host::param("temp_dir") = nb::none(),
            nb::sig("def __init__(self, temp_dir: str | os.PathLike[str] | None = None) -> None"))
        .def(
            "resolve_zenodo_dropbox",
            [](nb::handle self, nb::handle key, nb::handle value) -> nb::object {
                nb::str key_text = host::arg_str(key, "key");
                if (!PyUnicode_Check(value.ptr())) return nb::borrow(value);

                std::string link = host::utf8(value);
                fk::LinkKind kind = fk::classify(link);
                if (kind == fk::LinkKind::none) return nb::borrow(value);

                std::string url = kind == fk::LinkKind::dropbox ? fk::dropbox_direct(link) : link;
                std::string name = fk::download_name(url, host::utf8(key_text));

                nb::object directory = self.attr("temp_dir");
                nb::object dest = host::os_path().attr("join")(directory, host::from_utf8(name));
                if (nb::cast<bool>(host::os_path().attr("exists")(dest))) {
                    logger.info("Using cached download for %s: %s", key_text, dest);
                    return dest;
                }
                logger.info("Downloading %s: %s", key_text, value);
                download(host::from_utf8(url), dest);
                logger.info("Saved to %s", dest);
                return dest;
            },
            host::param("key"), host::param("value"),
            nb::sig("def resolve_zenodo_dropbox(self, key: str, value: object) -> typing.Any"),
            "Return the local path for a Zenodo/Dropbox link (downloading it once); "
            "any other value unchanged.");
}
