#include "mivo/tool_run_cache.hpp"

#include "common/host_files.hpp"
#include "stepcache/key.hpp"

namespace plexaro::mivo_binding {

namespace {

// os.environ.get(name), as host text or None.
nb::object environment_value(const char *name) {
    return host::import("os").attr("environ").attr("get")(name);
}

bool set_and_not_empty(const nb::object &value) { return !value.is_none() && nb::len(value) > 0; }

}  // namespace

std::optional<sc::Settings> step_cache_settings() {
    sc::Settings settings;
    nb::object dir = environment_value(kCacheDirVariable);
    if (set_and_not_empty(dir)) {
        settings.dir = host::fs_path(dir);
        nb::object limit = environment_value(kCacheSizeVariable);
        if (set_and_not_empty(limit)) {
            settings.size_limit = sc::parse_size(host::utf8(limit));
            if (!settings.size_limit)
                host::raise(
                    PyExc_ValueError,
                    std::string(kCacheSizeVariable) +
                        " must be a size in bytes, optionally with K, M, G or T (such as 500M "
                        "or 20G); got " +
                        host::repr(limit));
        }
        nb::object links = environment_value(kCacheLinksVariable);
        if (set_and_not_empty(links)) {
            std::string choice = host::utf8(links);
            if (choice != "hard" && choice != "copy")
                host::raise(PyExc_ValueError, std::string(kCacheLinksVariable) +
                                                  " must be \"hard\" or \"copy\"; got " +
                                                  host::repr(links));
            settings.hard_links = choice == "hard";
        }
        files::DirectorySharing sharing = files::DirectorySharing::owner;
        nb::object shared = environment_value(kCacheSharedVariable);
        if (set_and_not_empty(shared)) {
            if (host::utf8(shared) != "group")
                host::raise(PyExc_ValueError, std::string(kCacheSharedVariable) +
                                                  " must be \"group\" (or unset); got " +
                                                  host::repr(shared));
            sharing = files::DirectorySharing::group;
        }
        // Whoever can write into the cache decides what a hit delivers: it
        // is taken only from a directory nobody else can write.
        host::with_host_errors([&] {
            nb::gil_scoped_release released;
            files::make_trusted_directory(*settings.dir, sharing);
        });
        nb::object listed = environment_value(kCacheEnvVariable);
        if (set_and_not_empty(listed))
            for (const std::string &name : sc::listed_variables(host::utf8(listed))) {
                nb::object value = environment_value(name.c_str());
                settings.environment.emplace_back(
                    name,
                    value.is_none() ? std::nullopt : std::optional<std::string>(host::utf8(value)));
            }
    }
    nb::object log = environment_value(kRunLogVariable);
    if (set_and_not_empty(log)) settings.run_log = host::fs_path(log);
    if (!settings.enabled()) return std::nullopt;
    return settings;
}

std::vector<std::pair<std::string, std::string>> shaping_manifest_entries(nb::dict manifest) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const char *name : {"image", "entrypoint", "args_template", "outputs", "inputs"}) {
        nb::object value = manifest.contains(name) ? nb::object(manifest[name]) : nb::none();
        entries.emplace_back(name, host::repr(value));
    }
    return entries;
}

std::optional<std::string> locked_image_digest(nb::handle self, nb::handle tool) {
    nb::object locked;
    try {
        locked = self.attr("_locked_image_ref")(tool);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return std::nullopt;
    }
    if (!PyTuple_Check(locked.ptr()) || nb::len(locked) != 2) return std::nullopt;
    nb::object digest = locked[1];
    if (!PyUnicode_Check(digest.ptr()) || nb::len(digest) == 0) return std::nullopt;
    return host::utf8(digest);
}

std::optional<std::string> manifest_image(nb::dict manifest) {
    if (!manifest.contains("image")) return std::nullopt;
    nb::object image = manifest["image"];
    if (!PyUnicode_Check(image.ptr())) return std::nullopt;
    return host::utf8(image);
}

void log_cache_warnings(sc::CachedStep &step) {
    for (const std::string &message : step.take_warnings())
        logger.warning("Step cache: %s", host::from_utf8(message));
}

}  // namespace plexaro::mivo_binding
