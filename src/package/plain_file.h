#pragma once
// Package files opened as themselves: a junction or symbolic link in a package directory must
// never lead the agent (LocalSystem) to read or write another file, so a reparse point is
// opened, not followed, and then refused. A hard link is a second name of a file elsewhere
// (one a user made before the agent protected the folder): it is refused too.
#include <windows.h>

#include "common/handle.h"

namespace qfu::package {

// A package file that is a reparse point or has more than one name (ERROR_CANT_ACCESS_FILE).
inline constexpr DWORD kPackageFileRefused = ERROR_CANT_ACCESS_FILE;

// Opens path with access (attributes reading added), share mode, disposition and
// flags_and_attributes (the reparse-point flag added). Returns 0 with file open;
// kPackageFileRefused for a reparse point or a file with more than one link, or the Win32
// error of the open or of the attribute queries, with file closed.
[[nodiscard]] DWORD OpenPlainFile(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                                  DWORD flags_and_attributes, UniqueFile& file);

// Holds a verified package until the installer has read it: opens the existing file at path
// for reading, shared for reading only, so that nobody can write, delete or rename it while
// held stays open. Returns 0, kPackageFileRefused, or the Win32 error of the open (for
// example ERROR_SHARING_VIOLATION while someone has it open for writing).
[[nodiscard]] DWORD LockPackage(const wchar_t* path, UniqueFile& held);

}  // namespace qfu::package
