// Container engine support: readiness of the engine, the host-network
// `docker` wrapper of cloud workers, and the image archive cache on the
// pipeline volume.
#include "mivo/mivo.hpp"

#include "engine/cache.hpp"
#include "engine/wrapper.hpp"

#include <chrono>
#include <ctime>

#include <sys/stat.h>
#include <unistd.h>

namespace plexaro::mivo_binding {

namespace {

using namespace nb::literals;

// Machine locations and timings live on the module, read at every use, so a
// host (or a test) can point them elsewhere.
constexpr const char *kDockerPath = "/usr/bin/docker";
constexpr const char *kDockerRealPath = "/usr/bin/docker.real";
constexpr const char *kWrapperDir = "/vol/bin";
constexpr const char *kNvidiaDeviceDir = "/dev";
constexpr const char *kDriverLibraryDir = "/usr/lib/x86_64-linux-gnu";
constexpr const char *kInstallGuideUrl = "https://docs.docker.com/get-started/get-docker/";
constexpr int kWrapperMode = 0755;
constexpr int kEngineProbeTimeout = 10;
constexpr int kEngineRetryPause = 2;
constexpr int kNetworkProbeTimeout = 30;
constexpr int kNetworkRetryPause = 3;
constexpr int kArchiveTimeout = 1800;

nb::object module_value(const char *name) { return host::import(kModuleName).attr(name); }
nb::object os_mod() { return host::import("os"); }

bool exists(nb::handle path) { return nb::cast<bool>(host::os_path().attr("exists")(path)); }

bool before(nb::handle a, nb::handle b) { return host::compare(a, b, Py_LT); }

// Only the host's ordinary errors are caught by best-effort steps;
// KeyboardInterrupt and SystemExit go through.
bool ordinary(nb::python_error &e) { return e.matches(PyExc_Exception); }

nb::str error_text(nb::python_error &e) { return nb::str(e.value()); }

// subprocess.run with captured text output; returns the completed record.
nb::object run_captured(nb::handle argv, nb::handle timeout) {
    return host::import("subprocess")
        .attr("run")(argv, "capture_output"_a = true, "text"_a = true, "errors"_a = "replace",
                     "timeout"_a = timeout);
}

bool exit_ok(nb::handle completed) { return completed.attr("returncode").equal(nb::int_(0)); }

// One readiness probe: true on exit status 0, false on another status or
// when the probe's time-out expires. Any other error propagates.
bool probe(nb::handle argv, nb::handle timeout) {
    try {
        return exit_ok(run_captured(argv, timeout));
    } catch (nb::python_error &e) {
        if (e.matches(host::import("subprocess").attr("TimeoutExpired"))) return false;
        throw;
    }
}

void remove_quietly(nb::handle path) {
    try {
        if (exists(path)) os_mod().attr("unlink")(path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
}

// Whether the file a save wrote is absent or holds nothing.
bool archive_missing_or_empty(nb::handle path) {
    struct stat st;
    return ::stat(host::fs_path(path).c_str(), &st) != 0 || st.st_size == 0;
}

// Temporaries of saves that were killed, and the fixed name ".tar.tmp" that
// earlier versions saved through, once they have not changed for an hour
// (a save still running keeps writing to its file).
void remove_abandoned_saves(nb::handle archive) {
    constexpr std::chrono::seconds kAbandonedAfter{3600};
    std::string path = host::fs_path(archive);
    files::remove_stale_temporaries(path, kAbandonedAfter);
    std::string legacy = path + ".tmp";
    struct stat st;
    if (::lstat(legacy.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        std::time(nullptr) - st.st_mtime > kAbandonedAfter.count())
        ::unlink(legacy.c_str());
}

std::string fs_text(nb::handle value, const char *name) {
    return host::fs_path(host::arg_str(value, name));
}

nb::object wrapper_text(nb::handle real_binary) {
    engine::WrapperLocations where;
    where.real_binary = fs_text(real_binary, "real_binary");
    where.device_dir = fs_text(module_value("_NVIDIA_DEVICE_DIR"), "_NVIDIA_DEVICE_DIR");
    where.driver_library_dir = fs_text(module_value("_DRIVER_LIBRARY_DIR"), "_DRIVER_LIBRARY_DIR");
    return host::from_fs_path(engine::docker_wrapper_text(where));
}

}  // namespace

void bind_engine(nb::module_ &m, MivoClass &cls) {
    m.attr("_DOCKER_PATH") = kDockerPath;
    m.attr("_DOCKER_REAL_PATH") = kDockerRealPath;
    m.attr("_WRAPPER_DIR") = kWrapperDir;
    m.attr("_NVIDIA_DEVICE_DIR") = kNvidiaDeviceDir;
    m.attr("_DRIVER_LIBRARY_DIR") = kDriverLibraryDir;
    m.attr("_DOCKER_INSTALL_URL") = kInstallGuideUrl;
    m.attr("_ENGINE_PROBE_TIMEOUT") = kEngineProbeTimeout;
    m.attr("_ENGINE_RETRY_PAUSE") = kEngineRetryPause;
    m.attr("_NETWORK_PROBE_TIMEOUT") = kNetworkProbeTimeout;
    m.attr("_NETWORK_RETRY_PAUSE") = kNetworkRetryPause;
    m.attr("_IMAGE_ARCHIVE_TIMEOUT") = kArchiveTimeout;

    m.def(
        "_docker_wrapper_text", [](nb::handle real_binary) { return wrapper_text(real_binary); },
        host::param("real_binary"), nb::sig("def _docker_wrapper_text(real_binary: str) -> str"),
        "Text of the host-network docker wrapper script that calls `real_binary`.");

    cls.def(
        "wait_for_docker",
        [](nb::handle self, nb::handle timeout_arg) {
            nb::int_ budget = host::arg_int(timeout_arg, "timeout");
            nb::object docker = host::import("shutil").attr("which")("docker");
            if (docker.is_none())
                host::raise(PyExc_RuntimeError,
                            "Docker is not installed or not on PATH. Install Docker Desktop "
                            "(Mac/Windows) or Docker Engine (Linux/HPC) before running plexaro: " +
                                host::str(module_value("_DOCKER_INSTALL_URL")));

            nb::object time = host::import("time");
            nb::object deadline = time.attr("time")() + budget;

            bool engine_ready = false;
            while (before(time.attr("time")(), deadline)) {
                if (probe(nb::make_tuple(docker, "info"), module_value("_ENGINE_PROBE_TIMEOUT"))) {
                    engine_ready = true;
                    break;
                }
                time.attr("sleep")(module_value("_ENGINE_RETRY_PAUSE"));
            }
            if (!engine_ready)
                host::raise(PyExc_RuntimeError,
                            "Docker is installed but the daemon is not running. Start Docker "
                            "Desktop or run `sudo systemctl start docker`.");

            if (!host::truthy(host::volume_path())) {
                logger.debug("Docker daemon ready (local mode)");
                return;
            }
            // A cloud worker must also reach the image registry before tools
            // can be added.
            while (before(time.attr("time")(), deadline)) {
                if (probe(nb::make_tuple(docker, "pull", "hello-world"),
                          module_value("_NETWORK_PROBE_TIMEOUT"))) {
                    self.attr("_install_docker_host_network_wrapper")();
                    return;
                }
                logger.debug("Docker network not ready, retrying...");
                time.attr("sleep")(module_value("_NETWORK_RETRY_PAUSE"));
            }
            host::raise(PyExc_RuntimeError,
                        "Docker networking did not become ready within timeout");
        },
        host::param("timeout") = 300,
        nb::sig("def wait_for_docker(self, timeout: int = 300) -> None"),
        "Wait until the container engine answers (and, on a pipeline volume, can pull images, "
        "then install the host-network wrapper); raises RuntimeError when it does not within "
        "`timeout` seconds.");

    cls.def(
        "_install_docker_host_network_wrapper",
        [](nb::handle) {
            nb::object os = os_mod();
            nb::object standard = module_value("_DOCKER_PATH");
            nb::object moved = module_value("_DOCKER_REAL_PATH");
            nb::object wrapper_dir = module_value("_WRAPPER_DIR");
            nb::object wrapper = wrapper_dir + nb::str("/docker");

            os.attr("makedirs")(wrapper_dir, "exist_ok"_a = true);
            nb::object real = moved;
            if (!exists(moved)) {
                try {
                    host::import("shutil").attr("move")(standard, moved);
                    logger.info("Moved real docker binary to %s", moved);
                } catch (nb::python_error &e) {
                    if (!ordinary(e)) throw;
                    logger.warning("Could not move %s: %s", standard, error_text(e));
                    real = standard;
                }
            }

            nb::object text = module_value("_docker_wrapper_text")(real);
            nb::object data = os.attr("fsencode")(host::expect_str(text));
            auto install = [&](nb::handle path) {
                write_file_atomically(
                    path, [&](nb::handle file) { file.attr("write")(data); }, kWrapperMode);
            };
            install(wrapper);
            // With the real binary still at the standard path, a wrapper there
            // would call itself.
            if (real.equal(standard)) {
                logger.warning(
                    "Not installing the docker wrapper at %s: the real binary is still there",
                    standard);
                logger.info("Installed docker wrapper at %s (real binary at %s)", wrapper, real);
                return;
            }
            install(standard);
            logger.info("Installed docker wrapper at %s and %s (real binary at %s)", wrapper,
                        standard, real);
        },
        "Put the host-network docker wrapper in front of the real engine binary.");

    cls.def(
        "_real_docker",
        [](nb::handle) -> nb::object {
            nb::object which = host::import("shutil").attr("which");
            nb::object moved = module_value("_DOCKER_REAL_PATH");
            if (exists(moved)) {
                nb::object found = which("docker.real");
                return found.is_none() ? moved : found;
            }
            nb::object found = which("docker");
            return found.is_none() ? nb::object(nb::str("docker")) : found;
        },
        nb::sig("def _real_docker(self) -> str"),
        "The command of the real engine binary, bypassing the wrapper.");

    cls.def(
        "_cache_tar",
        [](nb::handle self, nb::handle tool_arg) -> nb::object {
            nb::str tool = host::arg_str(tool_arg, "tool");
            nb::object cache = self.attr("_image_cache");
            if (!host::truthy(cache)) return nb::str("");
            // A name that climbs out of the cache directory is not cached.
            if (!engine::archive_name_stays_inside(host::fs_path(tool))) return nb::str("");
            return host::os_path().attr("join")(cache, tool + nb::str(".tar"));
        },
        host::param("tool"), nb::sig("def _cache_tar(self, tool: str) -> str"),
        "Path of the image archive of `tool`, or '' when the cache is inactive.");

    cls.def(
        "_load_cached_image",
        [](nb::handle self, nb::handle tool_arg) -> bool {
            nb::str tool = host::arg_str(tool_arg, "tool");
            nb::object archive = self.attr("_cache_tar")(tool);
            if (!host::truthy(archive) || !exists(archive)) return false;
            try {
                logger.info("Restoring cached image for %s from %s", tool, archive);
                nb::object done =
                    run_captured(nb::make_tuple(self.attr("_real_docker")(), "load", "-i", archive),
                                 module_value("_IMAGE_ARCHIVE_TIMEOUT"));
                if (!exit_ok(done)) {
                    logger.warning("docker load for %s failed (will re-pull): %s", tool,
                                   done.attr("stderr").attr("strip")());
                    return false;
                }
                return true;
            } catch (nb::python_error &e) {
                if (!ordinary(e)) throw;
                logger.warning("docker load for %s errored (will re-pull): %s", tool,
                               error_text(e));
                return false;
            }
        },
        host::param("tool"), nb::sig("def _load_cached_image(self, tool: str) -> bool"),
        "Load the cached archive of `tool` into the engine; True when it was loaded.");

    cls.def(
        "_save_image_to_cache",
        [](nb::handle self, nb::handle tool_arg) {
            nb::str tool = host::arg_str(tool_arg, "tool");
            nb::object archive = self.attr("_cache_tar")(tool);
            if (!host::truthy(archive) || exists(archive)) return;

            nb::object locked = self.attr("_locked_image_ref")(tool);
            nb::object reference = locked[0];
            if (!host::truthy(reference)) {
                logger.debug("No locked image ref for %s; skipping save", tool);
                return;
            }
            nb::object os = os_mod();
            os.attr("makedirs")(self.attr("_image_cache"), "exist_ok"_a = true);
            // A tool name with "/" keeps its archive in a subdirectory.
            os.attr("makedirs")(host::os_path().attr("dirname")(archive), "exist_ok"_a = true);
            nb::object temporary;
            try {
                logger.info("Caching image %s for %s -> %s", reference, tool, archive);
                remove_abandoned_saves(archive);
                // Each save writes its own file: two workers saving the same
                // tool never write into one file, and the archive only ever
                // appears complete, by the rename.
                host::HostTempFile made = host::create_temp_beside(archive);
                temporary = made.path;
                os.attr("close")(made.fd);
                nb::object done = run_captured(
                    nb::make_tuple(self.attr("_real_docker")(), "save", reference, "-o", temporary),
                    module_value("_IMAGE_ARCHIVE_TIMEOUT"));
                if (!exit_ok(done)) {
                    logger.warning("docker save for %s failed: %s", tool,
                                   done.attr("stderr").attr("strip")());
                    remove_quietly(temporary);
                    return;
                }
                // An engine that reports success without writing the archive
                // (or writes nothing into it) failed all the same: an empty
                // archive would only make every later load fail.
                if (archive_missing_or_empty(temporary)) {
                    nb::object said = done.attr("stderr").attr("strip")();
                    logger.warning(
                        "docker save for %s failed: %s", tool,
                        host::truthy(said) ? said : nb::object(nb::str("no archive written")));
                    remove_quietly(temporary);
                    return;
                }
                os.attr("replace")(temporary, archive);
            } catch (nb::python_error &e) {
                if (temporary.is_valid()) remove_quietly(temporary);
                if (!ordinary(e)) throw;
                logger.warning("docker save for %s errored: %s", tool, error_text(e));
            }
        },
        host::param("tool"), nb::sig("def _save_image_to_cache(self, tool: str) -> None"),
        "Save the locked image of `tool` as its archive, unless the archive exists.");

    cls.def(
        "_locked_image_ref",
        [](nb::handle self, nb::handle tool_arg) -> nb::object {
            nb::str tool = host::arg_str(tool_arg, "tool");
            nb::object unknown = nb::make_tuple(nb::none(), nb::none());
            nb::object home = self.attr("_mivo_home");
            if (!host::truthy(home)) return unknown;
            nb::object lockfile = host::os_path().attr("join")(home, "mivo.lock");
            if (!exists(lockfile)) return unknown;

            nb::object reader = toml_reader();
            if (!reader.is_valid()) return unknown;

            nb::object document;
            try {
                document = load_toml(reader, lockfile);
            } catch (nb::python_error &e) {
                if (!ordinary(e)) throw;
                return unknown;
            }

            // A lockfile of another shape knows nothing about the tool.
            auto table = [](nb::handle value) -> nb::object {
                if (!host::truthy(value)) return nb::dict();
                return PyDict_Check(value.ptr()) ? nb::borrow(value) : nb::object();
            };
            nb::object tools = PyDict_Check(document.ptr())
                                   ? table(nb::borrow<nb::dict>(document).get("tools", nb::none()))
                                   : nb::object();
            if (!tools.is_valid()) return unknown;
            nb::object entry = table(nb::borrow<nb::dict>(tools).get(tool, nb::none()));
            if (!entry.is_valid()) return unknown;
            auto text_or_none = [&](const char *key) -> nb::object {
                nb::object v = nb::borrow<nb::dict>(entry).get(key, nb::none());
                return PyUnicode_Check(v.ptr()) ? v : nb::none();
            };
            return nb::make_tuple(text_or_none("image_reference"), text_or_none("image_digest"));
        },
        host::param("tool"),
        nb::sig("def _locked_image_ref(self, tool: str) -> tuple[str | None, str | None]"),
        "(image reference, image digest) of `tool` in the project lockfile, or (None, None).");
}

}  // namespace plexaro::mivo_binding
