#include "package/installer.h"

#include <shlobj.h>
#include <strsafe.h>

#include <memory>
#include <new>
#include <string_view>

#include "common/handle.h"
#include "common/last_error.h"
#include "package/installer_command_line.h"

namespace qfu::package {
namespace {

constexpr std::size_t kPathCapacity = MAX_PATH;  // units, terminator included
constexpr const wchar_t* kDefaultSystemFolder = L"C:\\Windows\\System32";
constexpr const wchar_t* kInstallerFileName = L"\\msiexec.exe";

}  // namespace

DWORD RunInstaller(const wchar_t* package_path, const wchar_t* arguments) {
  if (package_path == nullptr || package_path[0] == L'\0') return ERROR_INVALID_PARAMETER;

  // The installer runs in the package's folder, so that its relative log lands beside the
  // package. A path that does not fit is refused: a cut path would name another folder.
  wchar_t working_directory[kPathCapacity] = {};
  if (FAILED(::StringCchCopyW(working_directory, kPathCapacity, package_path)))
    return ERROR_FILENAME_EXCED_RANGE;
  if (wchar_t* last = wcsrchr(working_directory, L'\\'); last != nullptr) *last = L'\0';

  wchar_t application[kPathCapacity] = {};
  (void)::StringCchCopyW(application, kPathCapacity, kDefaultSystemFolder);
  // No window, no token, the folder as it is now. A failed query may leave the buffer
  // empty: the usual system folder stands in then.
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, application))) {
    (void)::StringCchCopyW(application, kPathCapacity, kDefaultSystemFolder);
  }
  (void)::StringCchCatW(application, kPathCapacity, kInstallerFileName);

  const std::wstring_view path(package_path);
  const std::wstring_view extra(arguments != nullptr ? arguments : L"");
  const std::size_t size = InstallerCommandLineSize(path, extra);
  // Exactly the units the command line needs; CreateProcessW may write into it.
  std::unique_ptr<wchar_t[]> command_line(new (std::nothrow) wchar_t[size]);
  if (!command_line) return ERROR_NOT_ENOUGH_MEMORY;
  if (!WriteInstallerCommandLine(path, extra, std::span<wchar_t>(command_line.get(), size))) {
    return ERROR_NOT_ENOUGH_MEMORY;  // cannot happen: the buffer has the size asked for
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  // No handles inherited; CREATE_NEW_CONSOLE: the installer gets a console of its own rather
  // than the service's (which has none); the agent's own environment.
  if (!::CreateProcessW(application, command_line.get(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                        working_directory, &startup, &started)) {
    return LastError();
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  // Without a time limit: an installation takes as long as it takes, and the worker holds
  // the cancel mutex meanwhile so that nobody deletes the package under it.
  if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) return LastError();
  DWORD exit_code = 0;
  if (!::GetExitCodeProcess(process.get(), &exit_code)) return LastError();
  // The installer started a restart itself: for the agent that is an installation done.
  return exit_code == kInstallerRebootInitiated ? ERROR_SUCCESS : exit_code;
}

}  // namespace qfu::package
