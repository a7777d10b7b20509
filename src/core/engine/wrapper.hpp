// The host-network `docker` wrapper: a bash script installed in front of the
// real engine binary on cloud workers.
#pragma once

#include <string>

namespace plexaro::engine {

// Machine locations the script looks at when it runs.
struct WrapperLocations {
    std::string real_binary;                                       // the engine the wrapper calls
    std::string device_dir = "/dev";                               // holds the nvidia* devices
    std::string driver_library_dir = "/usr/lib/x86_64-linux-gnu";  // host driver libraries
};

// Wrapper environment files older than this many minutes are removed by
// later GPU runs; the engine has long since read them by then.
inline constexpr int kEnvFileMaxAgeMinutes = 60;
inline constexpr const char *kEnvFilePrefix = "docker-wrapper-env.";

// Full text of the script. Its first line is the bash interpreter line and
// its second assigns REAL_DOCKER="<real binary>".
std::string docker_wrapper_text(const WrapperLocations &where);

}  // namespace plexaro::engine
