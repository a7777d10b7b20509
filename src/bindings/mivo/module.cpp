// plexaro.helpers.mivo: the host's handle on the `mivo` tool manager.
#include "mivo/mivo.hpp"

namespace mb = plexaro::mivo_binding;

NB_MODULE(mivo, m) {
    m.doc() = "Front end of the mivo tool manager: commands, tool runs, engine and project files.";
    m.attr("logger") = mb::logger.logger();

    auto cls = plexaro::host::plain_class<mb::MIVO>(m, "MIVO", "Handle on the mivo tool manager.");
    mb::bind_construction_and_runner(m, cls);
    mb::bind_engine(m, cls);
    mb::bind_project(m, cls);
    mb::bind_tool_run(m, cls);
    mb::bind_direct_commands(m, cls);
    mb::bind_queries(m, cls);
}
