#pragma once
// The working directory: the agent's folder under ProgramData, with one package directory per
// request name inside it (C:\ProgramData\Quillfern\<request name>\<package file>). A registry
// value may move it to another folder below ProgramData, never outside.
#include <windows.h>

#include <string>

namespace qfu::package {

// The driver's configuration key under HKEY_LOCAL_MACHINE, which may move the working
// directory to another folder below ProgramData (read only).
inline constexpr const wchar_t* kWorkingDirectoryKeyPath =
    L"SYSTEM\\CurrentControlSet\\Services\\VIVAD\\Params\\Carraway Config";

// Under HKEY_LOCAL_MACHINE\<kWorkingDirectoryKeyPath>, 64-bit view: the
// working directory's path below ProgramData ("\Vendor\Agent"), read as text of at most 259
// units whatever its type.
inline constexpr const wchar_t* kProgramDataSubdirectoryValue = L"ProgramDataSubdirectory";

// Writes into path the ProgramData folder, the folders of subdirectory and a backslash
// ("C:\ProgramData\Vendor\Agent\" for "\Vendor\Agent"); subdirectory is put in its normal
// form first (missing, doubled or trailing backslashes). With create, each level below
// ProgramData is made in turn: levels the agent makes are protected (safe_directory.h), levels
// that exist already must not be reparse points, and the last level, the working directory,
// is protected again whether new or not. Returns 0; ERROR_BAD_PATHNAME for a subdirectory
// that names no folder or could lead out of ProgramData; kReparsePointRefused; or the Win32
// error of the folder query or of a level that could not be made. path is empty unless 0.
[[nodiscard]] DWORD BuildProgramDataPath(bool create, const wchar_t* subdirectory, std::wstring& path);

// BuildProgramDataPath for the subdirectory the registry names (kWorkingDirectoryKeyPath, value
// kProgramDataSubdirectoryValue) or, when it is missing, unreadable or refused by the rule of
// NormalizeProgramDataSubdirectory, for "\Quillfern". Every call reads the registry anew.
[[nodiscard]] DWORD GetWorkingDirectory(bool create, std::wstring& path);

// Makes the package directory of request_name: the working directory (created and protected),
// then <working directory><request_name> with the same protection, refusing reparse points.
// Writes it with a trailing backslash into package_directory
// ("C:\ProgramData\Quillfern\Client\"). Returns 0; ERROR_INVALID_PARAMETER when request_name
// fails the rule submit applies to request names (nothing is created then); or the error of
// GetWorkingDirectory or of the package directory's creation. package_directory is empty
// unless 0.
[[nodiscard]] DWORD PreparePackageDirectory(const wchar_t* request_name, std::wstring& package_directory);

}  // namespace qfu::package
