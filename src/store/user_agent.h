#pragma once
#include <windows.h>

namespace qfu::store {

// Reads "UserAgent" of the service key root\service_key (KEY_READ) into buffer of
// buffer_size bytes. The text is always terminated inside the buffer: a value that does not
// fit with its terminator is refused (ERROR_MORE_DATA) and the buffer keeps what it held.
// Returns the Win32 error.
[[nodiscard]] DWORD GetUserAgent(HKEY root, const wchar_t* service_key, wchar_t* buffer, DWORD buffer_size);

// Writes text (NUL-terminated) as "UserAgent" (REG_SZ, its characters and terminator) of the
// service key root\service_key, opened with KEY_WRITE. The caller holds the user-agent mutex.
// Returns the Win32 error.
[[nodiscard]] DWORD SetUserAgent(HKEY root, const wchar_t* service_key, const wchar_t* text);

}  // namespace qfu::store
