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
inline constexpr const char *kRunLogVariable = "PLEXARO_RUN_LOG";

// The settings, read from os.environ at each call; nullopt when neither the
// cache nor a run log is switched on (the run is then exactly as without
// them). A size limit that is not a size, or a link choice other than
// "hard" or "copy", raises the host's ValueError.
std::optional<sc::Settings> step_cache_settings();

// The manifest entries that shape a run (image, entrypoint, template, output
// slots with their records, input records), each in the host's
// representation; absent entries count as None.
std::vector<std::pair<std::string, std::string>> shaping_manifest_entries(nb::dict manifest);

// The manifest's "image" when it is text.
std::optional<std::string> manifest_image(nb::dict manifest);

// Logs each failure the cache absorbed, as a warning.
void log_cache_warnings(sc::CachedStep &step);

}  // namespace plexaro::mivo_binding
