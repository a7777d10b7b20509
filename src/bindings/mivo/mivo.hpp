// Shared declarations of the plexaro.helpers.mivo binding. The MIVO class is
// bound feature by feature; module.cpp adds the features in class order.
#pragma once

#include "common/host.hpp"

namespace plexaro::mivo_binding {

// C++ side of a MIVO instance: state lives in the instance __dict__.
struct MIVO {};
using MivoClass = nb::class_<MIVO>;

inline constexpr const char *kModuleName = "plexaro.helpers.mivo";
inline const host::Logger logger(kModuleName);

// Each adds its methods (and any module-level names) in class order.
void bind_construction_and_runner(nb::module_ &m, MivoClass &cls);  // __init__, _base_args, _run
void bind_engine(nb::module_ &m, MivoClass &cls);        // wait_for_docker .. _locked_image_ref
void bind_project(nb::module_ &m, MivoClass &cls);       // _prune_lockfile_to_session .. lock
void bind_tool_run(nb::module_ &m, MivoClass &cls);      // run, _fix_stale_abs_paths, _infer_args
void bind_direct_commands(nb::module_ &m, MivoClass &cls);  // exec, shell
void bind_queries(nb::module_ &m, MivoClass &cls);       // search .. list_tools

}  // namespace plexaro::mivo_binding
