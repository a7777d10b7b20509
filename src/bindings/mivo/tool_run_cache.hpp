// The step cache as MIVO.run meets it: its settings from the host's
// environment, the manifest entries that enter a step's key, and the cache's
// absorbed failures as warnings in the module's log.
#pragma once

#include "mivo/mivo.hpp"

#include "stepcache/step.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plexaro::mivo_binding {

namespace sc = plexaro::stepcache;

// Environment variables of the step cache and the run log.
inline constexpr const char *kCacheDirVariable = "PLEXARO_STEP_CACHE";
inline constexpr const char *kCacheEnvVariable = "PLEXARO_STEP_CACHE_ENV";
inline constexpr const char *kCacheSizeVariable = "PLEXARO_STEP_CACHE_MAX_SIZE";
inline constexpr const char *kCacheLinksVariable = "PLEXARO_STEP_CACHE_LINKS";
inline constexpr const char *kCacheSharedVariable = "PLEXARO_STEP_CACHE_SHARED";
inline constexpr const char *kRunLogVariable = "PLEXARO_RUN_LOG";

// The settings, read from os.environ at each call; nullopt when neither the
// cache nor a run log is switched on (the run is then exactly as without
// them). A size limit that is not a size, or a link choice other than
// "hard" or "copy", or a sharing other than "group", raises the host's
// ValueError. The cache directory is made when missing and must be one that
// nobody outside its circle can write (files::make_trusted_directory):
// PermissionError naming it otherwise.
std::optional<sc::Settings> step_cache_settings();

// The manifest entries that shape a run (image, entrypoint, template, output
// slots with their records, input records), each in the host's
// representation; absent entries count as None.
std::vector<std::pair<std::string, std::string>> shaping_manifest_entries(nb::dict manifest);

// The image digest the project lockfile holds for the tool
// (self._locked_image_ref), when it is text; errors of that lookup count as
// none.
std::optional<std::string> locked_image_digest(nb::handle self, nb::handle tool);

// The manifest's "image" when it is text.
std::optional<std::string> manifest_image(nb::dict manifest);

// Logs each failure the cache absorbed, as a warning.
void log_cache_warnings(sc::CachedStep &step);

}  // namespace plexaro::mivo_binding
