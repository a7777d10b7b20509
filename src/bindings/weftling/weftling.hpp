// plexaro.helpers.weftling: connectors between pipeline steps, written by the
// LLM, cleaned and checked, stored in one source file and loaded from it.
#pragma once

#include "common/host.hpp"

#include <string>
#include <utility>

namespace plexaro::weftling_binding {

namespace host = plexaro::host;

struct Weftling {};

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
bool truthy(nb::handle value);
bool contains(nb::handle container, nb::handle item);
bool is_instance(nb::handle obj, nb::handle cls);

// The two elements of a pair the host passed in.
std::pair<nb::object, nb::object> unpack_pair(nb::handle pair);

using Class = nb::class_<Weftling>;
void bind_store(nb::module_ &m, Class &cls);
void bind_prompt(Class &cls);
void bind_cleanup(Class &cls);

}  // namespace plexaro::weftling_binding
