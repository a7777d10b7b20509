// Not bound yet; its issue fills this file in.
#include "mivo/mivo.hpp"

namespace plexaro::mivo_binding {

void bind_engine(nb::module_ &, MivoClass &) {}

}  // namespace plexaro::mivo_binding
