#include "package/package_files.h"

#include <windows.h>
#include <strsafe.h>

#include <string>

#include "package/safe_directory.h"

namespace qfu::package {
namespace {

constexpr std::size_t kLogPathCapacity = MAX_PATH;  // units, terminator included
constexpr const wchar_t* kInstallerLogName = L"\\msi.log";

}  // namespace

void RemovePackageFiles(const wchar_t* target_path, bool remove_log_and_directory) {
  if (target_path == nullptr || target_path[0] == L'\0') return;
  const wchar_t* last_backslash = wcsrchr(target_path, L'\\');
  const std::wstring directory =
      last_backslash != nullptr ? std::wstring(target_path, last_backslash) : std::wstring();
  // A package directory that is a junction or a symbolic link leads elsewhere: nothing in it
  // is deleted. (A directory that is gone leaves nothing to delete either way.)
  if (!directory.empty() && CheckPlainDirectory(directory.c_str()) == kReparsePointRefused) return;

  // Failures change nothing for the caller: a file already gone is the usual case.
  (void)::DeleteFileW(target_path);
  // Only a folder of its own goes: not the current folder of a drive ("C:" from "C:\p.msi").
  if (!remove_log_and_directory || directory.empty() || directory.back() == L':') return;
  wchar_t log[kLogPathCapacity] = {};
  // A log path that does not fit is not cut down to another file's name.
  if (SUCCEEDED(::StringCchCopyW(log, kLogPathCapacity, directory.c_str())) &&
      SUCCEEDED(::StringCchCatW(log, kLogPathCapacity, kInstallerLogName))) {
    (void)::DeleteFileW(log);
  }
  // Removes the directory only when nothing else is left in it.
  (void)::RemoveDirectoryW(directory.c_str());
}

}  // namespace qfu::package
