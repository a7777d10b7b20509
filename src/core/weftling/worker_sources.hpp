// The Python sources of the connector worker (see worker_sources.cpp).
#pragma once

#include <string>

namespace plexaro::weftling {

// Run by the worker interpreter (`python -I -S -B -c`): argv holds the path
// of the extension that confines it, its scratch directory, the channel's
// descriptor and the runtime's module directories.
std::string worker_driver();

// The host's side: Client (one worker per Weftling), Connector (the callable
// getConnector hands out), isolation() and stop_all().
std::string worker_client();

}  // namespace plexaro::weftling
