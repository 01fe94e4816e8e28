#include "package/package_files.h"

#include <windows.h>

#include <string>

#include "package/path_text.h"
#include "package/safe_directory.h"
#include "package/working_directory.h"

namespace qfu::package {
namespace {

constexpr const wchar_t* kInstallerLogName = L"\\msi.log";

}  // namespace

void RemovePackageFiles(const wchar_t* working_directory, const wchar_t* target_path,
                        bool remove_log_and_directory) {
  if (working_directory == nullptr || target_path == nullptr) return;
  const std::wstring_view working(working_directory);
  const auto parts = SplitPackagePath(working, target_path);
  if (!parts) return;
  // A working or package directory that is a junction or a symbolic link leads elsewhere:
  // nothing in it is deleted. (A directory that is gone leaves nothing to delete either way.)
  const std::wstring working_folder(working.substr(0, working.size() - 1));
  const std::wstring directory(parts->package_directory);
  if (CheckPlainDirectory(working_folder.c_str()) != ERROR_SUCCESS ||
      CheckPlainDirectory(directory.c_str()) != ERROR_SUCCESS) {
    return;
  }
  // Failures change nothing for the caller: a file already gone is the usual case.
  (void)::DeleteFileW(target_path);
  if (!remove_log_and_directory) return;
  (void)::DeleteFileW((directory + kInstallerLogName).c_str());
  // Removes the directory only when nothing else is left in it.
  (void)::RemoveDirectoryW(directory.c_str());
}

void PackageFiles::RemovePackageFiles(const wchar_t* target_path, bool remove_log_and_directory) noexcept {
  std::wstring working_directory;
  if (GetWorkingDirectory(false, working_directory) != ERROR_SUCCESS) return;
  package::RemovePackageFiles(working_directory.c_str(), target_path, remove_log_and_directory);
}

}  // namespace qfu::package
