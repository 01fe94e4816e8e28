#pragma once
// The installer runner: the Windows Installer's command-line program installs a verified
// package silently, logging to msi.log in the package directory and never restarting the
// machine itself (restarting is the agent's business, driven by the exit code).
#include <windows.h>

namespace qfu::package {

// Exit codes of the Windows Installer that RunInstaller reports.
inline constexpr DWORD kInstallerRebootInitiated = 1641;  // ERROR_SUCCESS_REBOOT_INITIATED
inline constexpr DWORD kInstallerRebootRequired = 3010;   // ERROR_SUCCESS_REBOOT_REQUIRED

// Runs <system folder>\msiexec.exe on package_path (a full path of at most 259 units) with
// arguments appended unchanged (null or empty: none), in a console of its own, with the
// package's folder as current directory, and waits for it without limit. Returns its exit
// code, 1641 reported as 0; ERROR_NOT_ENOUGH_MEMORY when the command line cannot be allocated;
// ERROR_INVALID_PARAMETER for no path, ERROR_FILENAME_EXCED_RANGE for a longer one; or the
// Win32 error of the start (CreateProcessW) or of reading the exit code.
[[nodiscard]] DWORD RunInstaller(const wchar_t* package_path, const wchar_t* arguments);

}  // namespace qfu::package
