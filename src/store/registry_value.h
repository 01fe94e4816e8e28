#pragma once
#include <windows.h>

namespace qfu::store {

// Reads one value of any type from root\subkey into buffer (size in bytes), opening the key
// with KEY_READ | extra_access (KEY_WOW64_64KEY or KEY_WOW64_32KEY choose the view). A string
// arrives NUL-terminated. Returns true when the value was read; on false the buffer's
// contents are not to be used.
[[nodiscard]] bool ReadRegistryValue(HKEY root, const wchar_t* subkey, const wchar_t* value_name, void* buffer,
                                     DWORD buffer_size, REGSAM extra_access);

// Reads a value of at most size bytes into buffer, whatever its registry type; returns the
// Win32 error.
[[nodiscard]] DWORD QueryValue(HKEY key, const wchar_t* name, void* buffer, DWORD size) noexcept;

// Reads a string value into buffer (size in bytes), which is cleared first and always ends
// terminated inside its size: a text that fills the buffer loses its last unit. Returns the
// Win32 error; the buffer then holds the empty text.
[[nodiscard]] DWORD QueryStringValue(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD size) noexcept;

// Writes a value of the given type and size; returns the Win32 error.
[[nodiscard]] DWORD SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) noexcept;

}  // namespace qfu::store
