#include "locale/resource_module.h"

#include <vector>

#include "locale/resource_paths.h"
#include "store/registry_value.h"

namespace qfu::locale {
namespace {

constexpr const wchar_t* kLanguageValue = L"Language";
constexpr const wchar_t* kInstallLocationValue = L"LastInstallLocation";
constexpr DWORD kPathUnits = kMaxPathChars + 1;

// A directory is never the DLL, whatever other attributes it has.
[[nodiscard]] bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// "LastInstallLocation", from the 32-bit view first (where a 32-bit setup writes it), then the
// 64-bit view; an empty text names no place.
[[nodiscard]] std::optional<std::wstring> ReadInstallLocation(const wchar_t* setup_key_path) {
  for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    wchar_t location[kPathUnits] = {};
    if (store::ReadRegistryValue(HKEY_LOCAL_MACHINE, setup_key_path, kInstallLocationValue, location,
                                 sizeof(location), view) == store::RegistryRead::kText &&
        location[0] != L'\0') {
      return std::wstring(location);
    }
  }
  return std::nullopt;
}

// Loads the file for its resources only: nothing of it runs. The error mode keeps Windows from
// showing a box for a file that cannot be opened, and is put back for the rest of the process.
[[nodiscard]] UniqueModule LoadAsResourceFile(const std::wstring& path) {
  const UINT previous_mode = ::SetErrorMode(SEM_NOOPENFILEERRORBOX);
  UniqueModule module(
      ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ::SetErrorMode(previous_mode);
  return module;
}

}  // namespace

std::wstring ChooseLanguage(const wchar_t* language_key_path) {
  wchar_t language[kLanguageNameUnits] = {};
  if (store::ReadRegistryValue(HKEY_LOCAL_MACHINE, language_key_path, kLanguageValue, language,
                               sizeof(language), KEY_WOW64_64KEY) == store::RegistryRead::kText &&
      language[0] != L'\0') {
    return language;
  }
  if (::GetUserDefaultLocaleName(language, static_cast<int>(kLanguageNameUnits)) > 0) return language;
  if (::GetSystemDefaultLocaleName(language, static_cast<int>(kLanguageNameUnits)) > 0) return language;
  return {};
}

std::optional<std::wstring> FindResourceFile(const wchar_t* program_path, const wchar_t* setup_key_path,
                                             const std::wstring& language) {
  const std::optional<ResourceFileParts> parts = SplitProgramPath(program_path);
  if (!parts) return std::nullopt;
  const std::optional<std::wstring> beside =
      ResourceCandidatePath(parts->directory, language, parts->file_name);
  if (beside && FileExists(*beside)) return beside;
  const std::optional<std::wstring> location = ReadInstallLocation(setup_key_path);
  if (!location) return std::nullopt;
  const std::optional<std::wstring> installed = ResourceCandidatePath(*location, language, parts->file_name);
  if (installed && FileExists(*installed)) return installed;
  return std::nullopt;
}

ULONGLONG ReadProductVersion(const wchar_t* path) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return 0;
  std::vector<BYTE> block(size);
  void* fixed = nullptr;
  UINT fixed_size = 0;
  if (!::GetFileVersionInfoW(path, 0, size, block.data()) ||
      !::VerQueryValueW(block.data(), L"\\", &fixed, &fixed_size) || fixed == nullptr ||
      fixed_size < sizeof(VS_FIXEDFILEINFO)) {
    return 0;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  return (static_cast<ULONGLONG>(info->dwProductVersionMS) << 32) | info->dwProductVersionLS;
}

ResourceSelection SelectResourceDll(const wchar_t* program_path, const LanguageKeys& keys) {
  ResourceSelection selection;
  selection.language = ChooseLanguage(keys.language_key_path);
  std::optional<std::wstring> found = FindResourceFile(program_path, keys.setup_key_path, selection.language);
  if (!found) {
    const std::optional<std::wstring> shorter = LanguageBeforeHyphen(selection.language);
    if (!shorter) return selection;
    selection.language = *shorter;
    found = FindResourceFile(program_path, keys.setup_key_path, selection.language);
    if (!found) return selection;
  }
  UniqueModule dll = LoadAsResourceFile(*found);
  // Texts of another version may not match what this program shows them for: only a DLL of
  // the same product version (both words) is used; a file without a version counts as 0.0.0.0.
  if (dll && ReadProductVersion(program_path) == ReadProductVersion(found->c_str()))
    selection.dll = std::move(dll);
  return selection;
}

void SelectResourceModule(AgentConfig& config, HMODULE own_module) {
  config.resource_module = own_module;
  config.loaded_resource_module.reset();
  config.language_name.clear();
  wchar_t program_path[kPathUnits] = {};
  const DWORD length = ::GetModuleFileNameW(own_module, program_path, kPathUnits);
  if (length == 0 || length >= kPathUnits) return;  // failed, or cut short
  ResourceSelection selection =
      SelectResourceDll(program_path, LanguageKeys{kProductKeyPath, kProductSetupKeyPath});
  config.language_name = std::move(selection.language);
  if (selection.dll) {
    config.loaded_resource_module = std::move(selection.dll);
    config.resource_module = config.loaded_resource_module.get();
  }
}

}  // namespace qfu::locale
