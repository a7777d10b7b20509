// plexaro.helpers.weftling: connectors between pipeline steps, written by the
// LLM, cleaned and checked, stored in one source file and loaded from it.
#pragma once

#include "common/files.hpp"
#include "common/host.hpp"

#include <memory>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "weftling/rules.hpp"
#include "weftling/store_index.hpp"

namespace plexaro::weftling_binding {

namespace host = plexaro::host;
namespace core = plexaro::weftling;
namespace rules = plexaro::weftling::rules;
using namespace nb::literals;

// The C++ side of a Weftling holds only caches of the connectors file,
// guarded by the object's `fileLock` and the file's OS lock.
struct Weftling {
    plexaro::weftling::StoreIndex index;
    // The module a previous load produced and the text it was made from:
    // a later load that finds only functions appended runs just those.
    nb::object loaded_module;
    std::string loaded_text;
    std::size_t loaded_breaks = 0;  // line breaks in loaded_text without its trailing white space
    std::string loaded_path;
    // The confined worker's client (made on first use) and its end.
    nb::object worker;
    Weftling() = default;
    ~Weftling();
};

// The object's C++ side, or none for an instance made without its constructor.
Weftling *state_of(nb::handle self);

inline constexpr const char *kModule = "plexaro.helpers.weftling";
extern const host::Logger logger;

// The module object, so module-level names a host replaced are obeyed.
inline nb::object self_module() { return host::import(kModule); }

// Word characters as the host's regular expressions see them in text.
bool is_word(char32_t cp);

// The `id` of a node; it must be exactly a string.
nb::str node_id(nb::handle node);
// The connector name of the edge u -> v.
std::string edge_name(nb::handle u_id, nb::handle v_id, const char *u_param, const char *v_param);

// attribute `name` of `obj`, or none when it has none.
nb::object attr_or_none(nb::handle obj, const char *name);
using host::contains;
using host::truthy;
bool is_instance(nb::handle obj, nb::handle cls);

// The two elements of a pair the host passed in.
std::pair<nb::object, nb::object> unpack_pair(nb::handle pair);

// A cleaned batch checked against the reply rules: `code` without the
// definitions of connectors it was not asked for (named in `dropped`).
struct BatchCheck {
    std::string code;
    std::vector<plexaro::weftling::rules::Finding> findings;
    std::vector<std::string> dropped;
};
BatchCheck check_batch(nb::handle code, const std::set<std::string> &asked);

// The clean-up passes that follow the syntax repair (best effort, logged).
nb::str finish_cleanup(nb::handle self, nb::str code);
// The first-function trim.
nb::str trimmed(nb::handle code);
bool parses(nb::handle code);

using Class = nb::class_<Weftling>;
void bind_store(nb::module_ &m, Class &cls);
void bind_prompt(Class &cls);
void bind_cleanup(Class &cls);
void bind_worker(nb::module_ &m);

// --- the confined worker (worker.cpp) --------------------------------------------
// Whether connectors run in the worker (PLEXARO_CONNECTOR_ISOLATION is not
// "off"; a value it cannot take raises ValueError).
bool connectors_isolated();
// The connectors file as the host sees it when connectors run confined: a
// module "connectors" whose functions call into the worker. The file is
// parsed and compiled here, never run.
nb::object confined_module(nb::handle self, nb::handle path);
// The function `name` of such a module.
nb::object confined_connector(nb::handle self, nb::handle module, nb::handle name);

}  // namespace plexaro::weftling_binding

// --- the connectors file (connectors_file.cpp) ----------------------------------
namespace plexaro::weftling_binding {

// Runs `body` holding `lock` (a host lock); the lock is released however
// `body` ends.
template <typename Body>
auto holding(nb::handle lock, Body &&body) {
    lock.attr("acquire")();
    auto result = [&] {
        try {
            return body();
        } catch (...) {
            try {
                lock.attr("release")();
            } catch (nb::python_error &) {
            }
            throw;
        }
    }();
    lock.attr("release")();
    return result;
}

// Holds the OS lock of the connectors file at `path` (a lock file beside it)
// for its lifetime; the GIL is released while waiting for it.
class OsLock {
public:
    explicit OsLock(nb::handle path);

private:
    std::unique_ptr<plexaro::files::ExclusiveFileLock> lock_;
};

// Runs `body` holding the object's `fileLock` and the file's OS lock, so
// threads of this process and other processes take turns on the file.
template <typename Body>
auto exclusive(nb::handle self, nb::handle path, Body &&body) {
    return holding(self.attr("fileLock"), [&] {
        OsLock os_lock(path);
        return body();
    });
}

// Brings `index` up to date with the file (re-read and re-indexed only when
// it is not the file the index was made from). False when there is no file.
bool refresh(plexaro::weftling::StoreIndex &index, nb::handle path);

// The top-level statements of `text`, or nothing when it does not parse.
std::optional<std::vector<plexaro::weftling::Statement>> statements_of(nb::handle text);

// Rewrites the file through a unique temporary file renamed over it (never
// through a link); returns the new file's stamp.
plexaro::weftling::FileStamp replace_text(nb::handle path, std::string_view text);

// Appends `text` to the file, which has the stamp `before`, in place (never
// through a link) and flushes only what it added; returns the file's new
// stamp. The running append is recorded before and the committed length
// after it (see weftling/store_index.hpp), as replace_text records it.
plexaro::weftling::FileStamp append_text(nb::handle path, std::string_view text,
                                         const plexaro::weftling::FileStamp &before);

// The connectors file as a module (see connectors_file.cpp).
nb::object load_connectors(nb::handle self, nb::handle path);

}  // namespace plexaro::weftling_binding
