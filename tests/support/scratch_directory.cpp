#include "support/scratch_directory.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/handle.h"

namespace qfu::test {
namespace {

using UnixSpawn = NTSTATUS(CDECL*)(char* const argv[], int wait);

// Runs a Unix program under Wine and waits for it; false when that is not possible.
bool RunUnixProgram(std::vector<std::string> arguments) {
  const auto spawn = reinterpret_cast<UnixSpawn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
  if (spawn == nullptr) return false;
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return spawn(argv.data(), TRUE) == 0;
}

}  // namespace

std::string UnixPath(const std::wstring& path) {
  using UnixFileName = char*(CDECL*)(const WCHAR* dos_name);
  const auto convert = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unix_path = convert != nullptr ? convert(path.c_str()) : nullptr;
  if (unix_path == nullptr) return {};
  std::string result(unix_path);
  ::HeapFree(::GetProcessHeap(), 0, unix_path);
  return result;
}

std::wstring ProgramDataFolder() {
  wchar_t* folder = nullptr;
  std::wstring result;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &folder)))
    result = folder;
  ::CoTaskMemFree(folder);
  EXPECT_FALSE(result.empty());
  return result;
}

ScratchDirectory::ScratchDirectory(const std::wstring& name)
    : below_program_data_(L"\\QFUpdateTests\\" + name), path_(ProgramDataFolder() + below_program_data_) {
  RemoveTree(path_);
}

ScratchDirectory::~ScratchDirectory() { RemoveTree(path_); }

bool ScratchDirectory::Make() const {
  const std::wstring parent = path_.substr(0, path_.rfind(L'\\'));
  return (::CreateDirectoryW(parent.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) &&
         ::CreateDirectoryW(path_.c_str(), nullptr);
}

bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
  const std::string unix_link = UnixPath(link), unix_target = UnixPath(target);
  if (unix_link.empty() || unix_target.empty() || !RunUnixProgram({"/bin/ln", "-s", unix_target, unix_link}))
    return false;
  const DWORD attributes = ::GetFileAttributesW(link.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void RemoveTree(const std::wstring& path) {
  // rm -rf removes links as themselves, dangling ones too, which Win32 calls under Wine cannot
  // do. Wine names no Unix path for a path whose folders do not exist: nothing to remove.
  const std::string unix_path = UnixPath(path);
  if (unix_path.empty() && ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  ASSERT_FALSE(unix_path.empty());
  ASSERT_TRUE(RunUnixProgram({"/bin/rm", "-rf", unix_path}));
}

bool WriteTextFile(const std::wstring& path, const char* text) {
  UniqueFile file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  const auto size = static_cast<DWORD>(std::strlen(text));
  return ::WriteFile(file.get(), text, size, &written, nullptr) && written == size;
}

bool MakeFolderWith(const std::wstring& path, std::initializer_list<const wchar_t*> files) {
  if (!::CreateDirectoryW(path.c_str(), nullptr)) return false;
  for (const wchar_t* file : files) {
    if (!WriteTextFile(path + L"\\" + file, "content")) return false;
  }
  return true;
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace qfu::test
