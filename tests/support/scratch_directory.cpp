#include "support/scratch_directory.h"

#include <knownfolders.h>
#include <shlobj.h>
#include <winioctl.h>

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/handle.h"

namespace qfu::test {
namespace {

// The mount point (junction) form of REPARSE_DATA_BUFFER, which mingw does not declare.
struct MountPointReparseData {
  ULONG reparse_tag;
  USHORT reparse_data_length;
  USHORT reserved;
  USHORT substitute_name_offset;
  USHORT substitute_name_length;
  USHORT print_name_offset;
  USHORT print_name_length;
  WCHAR path_buffer[1];
};
constexpr DWORD kReparseHeaderSize = 8;     // tag, data length, reserved
constexpr DWORD kMountPointHeaderSize = 8;  // the four offsets and lengths

using UnixSpawn = NTSTATUS(CDECL*)(char* const argv[], int wait);
using UnixFileName = char*(CDECL*)(const WCHAR* dos_name);

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

// The Unix path of a Windows path under Wine; empty when there is none.
std::string UnixPath(const std::wstring& path) {
  const auto convert = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (convert == nullptr) return {};
  char* unix_path = convert(path.c_str());
  if (unix_path == nullptr) return {};
  std::string result(unix_path);
  ::HeapFree(::GetProcessHeap(), 0, unix_path);
  return result;
}

bool MakeJunction(const std::wstring& link, const std::wstring& target) {
  if (!::CreateDirectoryW(link.c_str(), nullptr)) return false;
  UniqueFile directory(::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!directory) return false;
  const std::wstring substitute = L"\\??\\" + target;
  const auto name_bytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
  // The substitute name and its terminator, then an empty print name and its terminator.
  std::vector<BYTE> buffer(sizeof(MountPointReparseData) + name_bytes + 2 * sizeof(wchar_t), 0);
  auto* data = reinterpret_cast<MountPointReparseData*>(buffer.data());
  data->reparse_tag = IO_REPARSE_TAG_MOUNT_POINT;
  data->substitute_name_length = name_bytes;
  data->print_name_offset = static_cast<USHORT>(name_bytes + sizeof(wchar_t));
  data->reparse_data_length = static_cast<USHORT>(kMountPointHeaderSize + name_bytes + 2 * sizeof(wchar_t));
  std::memcpy(data->path_buffer, substitute.data(), name_bytes);
  DWORD returned = 0;
  const bool made =
      ::DeviceIoControl(directory.get(), FSCTL_SET_REPARSE_POINT, data,
                        kReparseHeaderSize + data->reparse_data_length, nullptr, 0, &returned, nullptr);
  directory.reset();
  if (!made) ::RemoveDirectoryW(link.c_str());
  return made;
}

bool IsReparsePoint(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void RemoveTreeWin32(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(path.c_str());
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW entry;
    HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") RemoveTreeWin32(path + L"\\" + name);
      } while (::FindNextFileW(search, &entry));
      ::FindClose(search);
    }
  }
  ::RemoveDirectoryW(path.c_str());  // a junction goes as itself on Windows
}

}  // namespace

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

bool RunningUnderWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
  if (RunningUnderWine()) {
    const std::string unix_link = UnixPath(link);
    const std::string unix_target = UnixPath(target);
    if (unix_link.empty() || unix_target.empty() ||
        !RunUnixProgram({"/bin/ln", "-s", unix_target, unix_link})) {
      return false;
    }
  } else if (!MakeJunction(link, target)) {
    return false;
  }
  return IsReparsePoint(link);
}

void RemoveTree(const std::wstring& path) {
  if (RunningUnderWine()) {
    // rm -rf removes links as themselves, dangling ones too, which Win32 calls under Wine
    // cannot do.
    const std::string unix_path = UnixPath(path);
    // Wine names no Unix path for a path whose folders do not exist: nothing to remove.
    if (unix_path.empty() && ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    ASSERT_FALSE(unix_path.empty());
    ASSERT_TRUE(RunUnixProgram({"/bin/rm", "-rf", unix_path}));
    return;
  }
  RemoveTreeWin32(path);
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
