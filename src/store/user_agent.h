#pragma once
#include <windows.h>

namespace qfu::store {

// Reads "UserAgent" of the service key root\service_key (KEY_READ) into buffer of
// buffer_size bytes. The text is always terminated inside the buffer: a value that does not
// fit with its terminator is refused (ERROR_MORE_DATA) and the buffer keeps what it held.
// Returns the Win32 error.
[[nodiscard]] DWORD GetUserAgent(HKEY root, const wchar_t* service_key, wchar_t* buffer, DWORD buffer_size);

}  // namespace qfu::store
