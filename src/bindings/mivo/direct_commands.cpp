// Not bound yet; its issue fills this file in.
#include "mivo/mivo.hpp"

namespace plexaro::mivo_binding {

void bind_direct_commands(nb::module_ &, MivoClass &) {}

}  // namespace plexaro::mivo_binding
