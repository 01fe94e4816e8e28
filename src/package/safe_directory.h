#pragma once
// The agent's own directories under ProgramData, where every user may create folders. The
// agent runs as LocalSystem: a folder that a user made first, or a junction put in its place,
// would let the user choose where the agent writes and deletes. So the folders the agent
// makes, and the working directory whenever it is used, are owned by Administrators and carry
// a protected access list, and a junction or symbolic link is never followed.
#include <windows.h>

namespace qfu::package {

// ERROR_REPARSE_POINT_ENCOUNTERED, which mingw does not define: a directory the agent would
// use is a reparse point (junction, symbolic link, mount point).
inline constexpr DWORD kReparsePointRefused = 4395;

// The security the agent's directories carry, as SDDL:
//   O:BA                      owned by Administrators, so that a user who made the folder
//                             first can no longer rewrite its access list;
//   D:P                       a protected DACL: nothing inherited from ProgramData, whose
//                             entries let users create and own folders;
//   (A;OICI;FA;;;SY)          full control for LocalSystem,
//   (A;OICI;FA;;;BA)          and for Administrators;
//   (A;OICI;0x1200a9;;;WD)    read and execute (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE)
//                             for everyone; each entry inherited by the folders and files
//                             below (OICI).
inline constexpr const wchar_t* kProtectedDirectorySddl =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)";

// Returns 0 when path names a directory that is no reparse point; kReparsePointRefused for a
// reparse point, ERROR_DIRECTORY for a file, or the Win32 error of the query (for example
// ERROR_FILE_NOT_FOUND).
[[nodiscard]] DWORD CheckPlainDirectory(const wchar_t* path);

// What MakeProtectedDirectory does to a directory that exists already.
enum class ExistingDirectory {
  kKeepSecurity,     // a level above the agent's own, made by someone else: only checked
  kReplaceSecurity,  // the working or a package directory: checked and protected again
};

// Creates directory path with the protected security, or finds it there; a new directory,
// and an existing one with kReplaceSecurity, then gets the owner and the protected DACL
// through a handle that does not follow reparse points. Returns 0, kReparsePointRefused,
// ERROR_DIRECTORY when a file has the name, or the Win32 error of the failed step.
[[nodiscard]] DWORD MakeProtectedDirectory(const wchar_t* path, ExistingDirectory existing);

}  // namespace qfu::package
