// Shared declarations of the plexaro.helpers.mivo binding. The MIVO class is
// bound feature by feature; module.cpp adds the features in class order.
#pragma once

#include "common/host.hpp"
#include "common/host_files.hpp"

#include <functional>

namespace plexaro::mivo_binding {

// C++ side of a MIVO instance: state lives in the instance __dict__.
struct MIVO {};
using MivoClass = nb::class_<MIVO>;

inline constexpr const char *kModuleName = "plexaro.helpers.mivo";
inline const host::Logger logger(kModuleName);

// Tool registry handed to mivo (as MIVO_REGISTRY) when neither the object nor
// the environment names one: the public registry repository of mivo tools.
inline constexpr const char *kDefaultRegistry = "https://github.com/mivo-tools/registry.git";

// self._run(words, **options), looked up on the instance at call time so a
// host that patches `_run` is obeyed.
inline nb::object run_through_host(nb::handle self, nb::handle words,
                                   nb::handle options = nb::handle()) {
    if (!options.is_valid()) return self.attr("_run")(words);
    return self.attr("_run")(words, **options);
}

// True while `self._run` is the layer's own runner (neither the instance
// nor the class has had it replaced by the host).
bool uses_own_runner(nb::handle self);
// The layer's own runner with mivo's standard output written straight into
// the file at `stdout_path` rather than into memory (and standard error into
// `stderr_path` when that is given). Defined in runner.cpp.
// With `job` mivo runs as that job (executor_settings.hpp); `report` receives
// what is known of the invocation, also when it raises.
struct JobRequest;
struct RunReport;
void run_streamed(nb::handle self, nb::handle cmd, nb::dict options, const std::string &stdout_path,
                  const std::string *stderr_path = nullptr, const JobRequest *job = nullptr,
                  RunReport *report = nullptr);

// Project files and the wrapper are rewritten through a unique temporary
// name renamed into place (common/host_files).
using host::write_file_atomically;

// The host's TOML reader (tomllib), else the tomli package; an invalid
// object when neither can be loaded. Defined in project.cpp.
nb::object toml_reader();
// reader.load() of the file at `path`, the file closed on every path.
nb::object load_toml(nb::handle reader, nb::handle path);

// Each adds its methods (and any module-level names) in class order.
void bind_construction_and_runner(nb::module_ &m, MivoClass &cls);  // __init__, _base_args, _run
void bind_engine(nb::module_ &m, MivoClass &cls);    // wait_for_docker .. _locked_image_ref
void bind_project(nb::module_ &m, MivoClass &cls);   // _prune_lockfile_to_session .. lock
void bind_tool_run(nb::module_ &m, MivoClass &cls);  // run, _fix_stale_abs_paths, _infer_args
void bind_direct_commands(nb::module_ &m, MivoClass &cls);  // exec, shell
void bind_queries(nb::module_ &m, MivoClass &cls);          // search .. list_tools

}  // namespace plexaro::mivo_binding
