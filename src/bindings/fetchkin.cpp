// plexaro.helpers.fetchkin: pipeline inputs given as Zenodo or Dropbox links
// are downloaded once into a local directory and replaced by the local path.
#include "common/host.hpp"
#include "fetchkin/links.hpp"

namespace host = plexaro::host;
namespace fk = plexaro::fetchkin;
using namespace nb::literals;

namespace {

struct Fetchkin {};

const host::Logger logger("plexaro.helpers.fetchkin");

constexpr int kTimeoutSeconds = 120;
constexpr Py_ssize_t kChunkBytes = 1 << 20;

nb::object os_path() { return host::import("os.path"); }

// Streams the body of `url` into a temporary file beside `dest` and renames
// it into place only once the body is complete: a file under the final name
// is always a whole download, which is all the cache relies on.
void download(nb::handle url, nb::handle dest, nb::handle directory) {
    nb::object os = host::import("os");
    nb::object opened = host::import("tempfile").attr("mkstemp")(
        "dir"_a = directory, "prefix"_a = ".partial-", "suffix"_a = ".download");
    nb::object fd = opened[0], partial = opened[1];
    nb::object file, response;
    try {
        file = os.attr("fdopen")(fd, "wb");
        response = host::import("urllib.request").attr("urlopen")(url, "timeout"_a = kTimeoutSeconds);
        nb::object read = response.attr("read"), write = file.attr("write");
        while (true) {
            nb::object chunk = read(kChunkBytes);
            if (!host::arg_bool(chunk)) break;
            write(chunk);
        }
        // A sized read returns short at end of stream instead of raising, so
        // a body cut off early must be caught here: the whole-body read would
        // have raised IncompleteRead.
        nb::object missing = nb::getattr(response, "length", nb::none());
        if (!missing.is_none() && nb::cast<long long>(missing) > 0)
        {
            nb::object err = host::import("http.client").attr("IncompleteRead")(nb::bytes(""), missing);
            PyErr_SetObject((PyObject *) Py_TYPE(err.ptr()), err.ptr());
            throw nb::python_error();
        }
        response.attr("close")();
        file.attr("close")();
        os.attr("replace")(partial, dest);
    } catch (nb::python_error &) {
        // Keep the original error; cleanup failures must not mask it.
        auto quietly = [](auto &&fn) {
            try { fn(); } catch (nb::python_error &) {}
        };
        if (response.is_valid()) quietly([&] { response.attr("close")(); });
        if (file.is_valid()) quietly([&] { file.attr("close")(); });
        else quietly([&] { os.attr("close")(fd); });
        quietly([&] {
            if (nb::cast<bool>(os_path().attr("exists")(partial))) os.attr("unlink")(partial);
        });
        throw;
    }
}

}  // namespace

NB_MODULE(fetchkin, m) {
    m.doc() = "Download of Zenodo and Dropbox links into a local cache.";

    host::plain_class<Fetchkin>(m, "Fetchkin", "Download cache for pipeline inputs given as links.")
        .def("__init__",
             [](nb::pointer_and_handle<Fetchkin> self, nb::handle temp_dir) {
                 new (self.p) Fetchkin();
                 nb::object directory = nb::borrow(temp_dir);
                 // Without a directory, downloads go to one shared place in
                 // the system's temporary area instead of failing.
                 if (directory.is_none())
                     directory = os_path().attr("join")(
                         host::import("tempfile").attr("gettempdir")(), "plexaro_downloads");
                 nb::setattr(self.h, "temp_dir", directory);
                 host::import("os").attr("makedirs")(directory, "exist_ok"_a = true);
             },
             host::param("temp_dir") = nb::none())
        .def("resolve_zenodo_dropbox",
             [](nb::handle self, nb::handle key, nb::handle value) -> nb::object {
                 nb::str key_text = host::arg_str(key, "key");
                 if (!PyUnicode_Check(value.ptr())) return nb::borrow(value);

                 std::string link = host::utf8(value);
                 fk::LinkKind kind = fk::classify(link);
                 if (kind == fk::LinkKind::none) return nb::borrow(value);

                 std::string url = kind == fk::LinkKind::dropbox ? fk::dropbox_direct(link) : link;
                 std::string name = fk::download_name(url, host::utf8(key_text));

                 nb::object directory = self.attr("temp_dir");
                 nb::object dest = os_path().attr("join")(directory, host::from_utf8(name));
                 if (nb::cast<bool>(os_path().attr("exists")(dest))) {
                     logger.info("Using cached download for %s: %s", key_text, dest);
                     return dest;
                 }
                 logger.info("Downloading %s: %s", key_text, value);
                 download(host::from_utf8(url), dest, directory);
                 logger.info("Saved to %s", dest);
                 return dest;
             },
             host::param("key"), host::param("value"),
             "Return the local path for a Zenodo/Dropbox link (downloading it once); "
             "any other value unchanged.");
}
