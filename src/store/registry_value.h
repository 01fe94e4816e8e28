#pragma once
#include <windows.h>

namespace qfu::store {

// What ReadRegistryValue found.
enum class RegistryRead {
  kText,            // the value's text is in the buffer, NUL-terminated inside it
  kKeyNotOpened,    // the key cannot be opened in that registry view
  kValueNotUsable,  // the key is there, but the value is missing, larger than the buffer, or
                    // its text leaves no room in the buffer for the terminator
};

// Reads one value of root\subkey as text into buffer (buffer_size in bytes; whole UTF-16
// units count), opening the key with KEY_READ | view (KEY_WOW64_64KEY or KEY_WOW64_32KEY
// choose the view). A value of any type is taken as UTF-16 text up to its first NUL or its
// last whole unit (a REG_EXPAND_SZ as stored, not expanded); on kText that text ends with a
// NUL inside the buffer. A text that needs every unit of the buffer is not usable. On any
// other result the buffer holds the empty text (given room for one unit).
[[nodiscard]] RegistryRead ReadRegistryValue(HKEY root, const wchar_t* subkey, const wchar_t* value_name,
                                             wchar_t* buffer, DWORD buffer_size, REGSAM view);

// Reads a value of at most size bytes into buffer, whatever its registry type; returns the
// Win32 error.
[[nodiscard]] DWORD QueryValue(HKEY key, const wchar_t* name, void* buffer, DWORD size) noexcept;

// Reads a string value into buffer (size in bytes), which is cleared first and always ends
// terminated inside its size: a text that fills the buffer loses its last unit. Returns the
// Win32 error; the buffer then holds the empty text.
[[nodiscard]] DWORD QueryStringValue(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD size) noexcept;

// Writes a value of the given type and size; returns the Win32 error.
[[nodiscard]] DWORD SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data,
                             DWORD size) noexcept;

}  // namespace qfu::store
