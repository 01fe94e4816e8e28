#include "package/working_directory.h"

#include <knownfolders.h>
#include <shlobj.h>
#include <strsafe.h>

#include "common/handle.h"
#include "package/path_text.h"
#include "package/safe_directory.h"
#include "store/registry_value.h"

namespace qfu::package {
namespace {

struct CoTaskMemoryTraits {
  using Type = wchar_t*;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type memory) noexcept { ::CoTaskMemFree(memory); }
};
using UniqueCoTaskString = UniqueAny<CoTaskMemoryTraits>;

// The override is read into 260 units: 259 of text and the terminator.
constexpr std::size_t kSubdirectoryCapacity = kMaxProgramDataSubdirectoryChars + 1;

// The Win32 error carried by a failed HRESULT, or fallback for one of another facility.
DWORD ErrorOf(HRESULT result, DWORD fallback) {
  return HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result) : fallback;
}

}  // namespace

DWORD BuildProgramDataPath(bool create, const wchar_t* subdirectory, std::wstring& path) {
  path.clear();
  const auto normalized = NormalizeProgramDataSubdirectory(subdirectory != nullptr ? subdirectory : L"");
  if (!normalized) return ERROR_BAD_PATHNAME;
  UniqueCoTaskString program_data;
  // KF_FLAG_CREATE: the folder is made when it is missing; no token: the agent's own view.
  const HRESULT found =
      ::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, program_data.put());
  if (FAILED(found)) return ErrorOf(found, ERROR_PATH_NOT_FOUND);
  if (!program_data || program_data.get()[0] == L'\0') return ERROR_PATH_NOT_FOUND;

  std::wstring level = program_data.get();
  if (create) {
    const auto names = SplitPath(*normalized, L"\\");
    for (std::size_t i = 0; i < names.size(); ++i) {
      level += L'\\';
      level += names[i];
      const bool working_directory = i + 1 == names.size();
      const DWORD made =
          MakeProtectedDirectory(level.c_str(), working_directory ? ExistingDirectory::kReplaceSecurity
                                                                  : ExistingDirectory::kKeepSecurity);
      if (made != ERROR_SUCCESS) return made;
    }
  } else {
    level += *normalized;
  }
  path = level + L'\\';
  return ERROR_SUCCESS;
}

DWORD GetWorkingDirectory(bool create, std::wstring& path) {
  wchar_t subdirectory[kSubdirectoryCapacity] = {};
  // 64-bit view: the driver's configuration key, whatever the agent's own bitness.
  const store::RegistryRead read =
      store::ReadRegistryValue(HKEY_LOCAL_MACHINE, kWorkingDirectoryKeyPath, kProgramDataSubdirectoryValue,
                               subdirectory, sizeof(subdirectory), KEY_WOW64_64KEY);
  if (read != store::RegistryRead::kText || !NormalizeProgramDataSubdirectory(subdirectory)) {
    (void)::StringCchCopyW(subdirectory, kSubdirectoryCapacity, kDefaultProgramDataSubdirectory);
  }
  return BuildProgramDataPath(create, subdirectory, path);
}

DWORD PreparePackageDirectory(const wchar_t* request_name, std::wstring& package_directory) {
  package_directory.clear();
  if (request_name == nullptr || !IsAcceptableRequestName(request_name)) return ERROR_INVALID_PARAMETER;
  std::wstring directory;
  if (const DWORD found = GetWorkingDirectory(true, directory); found != ERROR_SUCCESS) return found;
  directory += request_name;
  if (const DWORD made = MakeProtectedDirectory(directory.c_str(), ExistingDirectory::kReplaceSecurity);
      made != ERROR_SUCCESS) {
    return made;
  }
  package_directory = directory + L'\\';
  return ERROR_SUCCESS;
}

}  // namespace qfu::package
