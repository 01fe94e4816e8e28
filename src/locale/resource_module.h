#pragma once
#include <windows.h>

namespace qfu::locale {

// Returns the module the prompt texts are loaded from, given the program's own module.
[[nodiscard]] HMODULE SelectResourceModule(HMODULE own_module);

// Releases a module that SelectResourceModule loaded (the program's own is left alone).
void ReleaseResourceModule(HMODULE module);

}  // namespace qfu::locale
