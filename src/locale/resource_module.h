#pragma once
#include <windows.h>

#include "common/handle.h"

namespace qfu::locale {

// Returns the module the prompt texts are loaded from, given the program's own module. A
// translated resource DLL that it loads is handed to loaded, which owns it from then on;
// the program's own module is never owned.
[[nodiscard]] HMODULE SelectResourceModule(HMODULE own_module, UniqueModule& loaded);

}  // namespace qfu::locale
