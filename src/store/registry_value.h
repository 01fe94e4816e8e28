#pragma once
#include <windows.h>

namespace qfu::store {

// Reads one value of any type from root\subkey into buffer (size in bytes), opening the key
// with KEY_READ | extra_access (KEY_WOW64_64KEY or KEY_WOW64_32KEY choose the view). A string
// arrives NUL-terminated. Returns true when the value was read; on false the buffer's
// contents are not to be used.
[[nodiscard]] bool ReadRegistryValue(HKEY root, const wchar_t* subkey, const wchar_t* value_name, void* buffer,
                                     DWORD buffer_size, REGSAM extra_access);

}  // namespace qfu::store
