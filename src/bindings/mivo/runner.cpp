// Not bound yet; its issue fills this file in.
#include "mivo/mivo.hpp"

namespace plexaro::mivo_binding {

void bind_construction_and_runner(nb::module_ &, MivoClass &) {}

}  // namespace plexaro::mivo_binding
