// Preparing a fresh sandbox for a tool run.
#pragma once

#include "sandbox/fsops.hpp"

#include <string>

namespace plexaro::sandbox {

// Project files of the tool manager ("mivo.toml", "mivo.lock") copied in,
// and its ".mivo" directory linked (or, where links are refused, copied).
void bring_project(const std::string &mivo_home, const std::string &sandbox);

// The names bring_project would give a fresh sandbox, without making one.
NameSet project_entries(const std::string &mivo_home);

}  // namespace plexaro::sandbox
