#include "locale/resource_module.h"

namespace qfu::locale {

// Not built yet: the language choice and the translated resource DLLs. Until then the
// prompt texts come from the program's own module.
HMODULE SelectResourceModule(HMODULE own_module, UniqueModule& loaded) {
  loaded.reset();
  return own_module;
}

}  // namespace qfu::locale
