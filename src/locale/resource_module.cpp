#include "locale/resource_module.h"

namespace qfu::locale {

// Not built yet: the language choice and the translated resource DLLs. Until then the
// prompt texts come from the program's own module.
HMODULE SelectResourceModule(HMODULE own_module) { return own_module; }

void ReleaseResourceModule(HMODULE module) {
  if (module != nullptr && module != ::GetModuleHandleW(nullptr)) ::FreeLibrary(module);
}

}  // namespace qfu::locale
