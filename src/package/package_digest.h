#pragma once
// The SHA-256 of a package that the agent holds open, through the platform's CNG (BCrypt).
#include <windows.h>

#include "wire/message.h"

namespace qfu::package {

// Reads the whole file behind held (opened for reading; its file pointer is not used) from
// its first byte to its end and writes its SHA-256 into digest. Returns 0, the Win32 error of
// a failed read, or the NTSTATUS of a failed CNG call.
[[nodiscard]] DWORD HashOpenFile(HANDLE held, wire::Sha256Digest& digest);

}  // namespace qfu::package
