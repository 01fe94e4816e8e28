#include "support/scratch_key.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <gtest/gtest.h>

#include "locale/resource_module.h"
#include "package/working_directory.h"
#include "store/request_key.h"

namespace qfu::test {
namespace {

constexpr const wchar_t* kTestsRoot = L"SOFTWARE\\QFUpdateTests\\";
constexpr REGSAM kView = KEY_WOW64_64KEY;
constexpr const wchar_t* kLinkValue = L"SymbolicLinkValue";

// The keys the agent owns, up to the first level that is the agent's alone: each starts missing
// under a redirect, and nothing of the real one shows through.
const std::wstring kOwnKeys[] = {store::kServiceKeyPath, L"SYSTEM\\CurrentControlSet\\Services\\VIVAD",
                                 locale::kProductKeyPath};

bool redirect_active = false;

bool SameText(const std::wstring& a, const std::wstring& b) { return ::_wcsicmp(a.c_str(), b.c_str()) == 0; }

// True when path lies on the way to an own key, or is one (own then tells which).
bool OnOwnPath(const std::wstring& path, bool& own) {
  own = false;
  for (const std::wstring& key : kOwnKeys) {
    if (SameText(key, path)) return own = true;
    if (key.size() > path.size() && key[path.size()] == L'\\' && SameText(key.substr(0, path.size()), path))
      return true;
  }
  return false;
}

std::vector<std::wstring> SubkeyNames(HKEY key) {
  std::vector<std::wstring> names;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(std::size(name));
    if (::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(name, length);
  }
  return names;
}

// Deletes parent\name and everything below it without ever following a symbolic link: a link
// is opened as itself (REG_OPTION_OPEN_LINK) and deleted alone, never what it leads to.
void DeleteWithoutFollowing(HKEY parent, const std::wstring& name) {
  using NtDeleteKeyCall = LONG(NTAPI*)(HANDLE);
  static const auto nt_delete_key = reinterpret_cast<NtDeleteKeyCall>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
  UniqueHkey key;
  if (::RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | DELETE | kView, key.put()) !=
      ERROR_SUCCESS) {
    return;
  }
  DWORD type = REG_NONE;
  const bool link =
      ::RegQueryValueExW(key.get(), kLinkValue, nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
      type == REG_LINK;
  if (!link) {
    for (const std::wstring& child : SubkeyNames(key.get())) DeleteWithoutFollowing(key.get(), child);
  }
  if (nt_delete_key != nullptr) nt_delete_key(key.get());
}

}  // namespace

RegistryRedirect::RegistryRedirect(const std::wstring& name)
    : root_path_(kTestsRoot + (L"Redirect" + name + L"_" + std::to_wstring(::GetCurrentProcessId()))) {
  if (redirect_active) {
    std::fprintf(stderr, "a registry redirect is in force already\n");
    std::abort();
  }
  Delete();
  UniqueHkey real;
  UniqueHkey root;
  const bool made =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ | kView, real.put()) == ERROR_SUCCESS &&
      ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, root_path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView,
                        nullptr, root.put(), nullptr) == ERROR_SUCCESS;
  if (made) Mirror(real.get(), root.get(), L"");
  if (!made || ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, root.get()) != ERROR_SUCCESS) {
    std::fprintf(stderr, "HKEY_LOCAL_MACHINE could not be redirected\n");
    std::abort();
  }
  redirect_active = true;
}

RegistryRedirect::~RegistryRedirect() {
  (void)::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  redirect_active = false;
  Delete();
}

bool RegistryRedirect::Active() { return redirect_active; }

void RegistryRedirect::Mirror(HKEY real, HKEY mirror, const std::wstring& path) {
  for (const std::wstring& name : SubkeyNames(real)) {
    const std::wstring child = path.empty() ? name : path + L"\\" + name;
    bool own = false;
    if (OnOwnPath(child, own)) {
      if (own) continue;
      UniqueHkey real_child;
      UniqueHkey mirror_child;
      if (::RegOpenKeyExW(real, name.c_str(), 0, KEY_READ | kView, real_child.put()) == ERROR_SUCCESS &&
          ::RegCreateKeyExW(mirror, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView, nullptr,
                            mirror_child.put(), nullptr) == ERROR_SUCCESS) {
        Mirror(real_child.get(), mirror_child.get(), child);
      }
      continue;
    }
    // Volatile: a link left by a test that died goes with the registry server.
    UniqueHkey link;
    const std::wstring target = L"\\Registry\\Machine\\" + child;
    EXPECT_EQ(
        ::RegCreateKeyExW(mirror, name.c_str(), 0, nullptr, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK,
                          KEY_ALL_ACCESS | kView, nullptr, link.put(), nullptr),
        ERROR_SUCCESS);
    if (link) {
      EXPECT_EQ(
          ::RegSetValueExW(link.get(), kLinkValue, 0, REG_LINK, reinterpret_cast<const BYTE*>(target.data()),
                           static_cast<DWORD>(target.size() * sizeof(wchar_t))),
          ERROR_SUCCESS);
    }
  }
}

void RegistryRedirect::Delete() { DeleteWithoutFollowing(HKEY_LOCAL_MACHINE, root_path_); }

ScratchKey::ScratchKey(const std::wstring& name, REGSAM view, Place place)
    : path_(place == Place::kTestsRoot ? kTestsRoot + name : name), view_(view) {
  if (place == Place::kRedirectedMachine && !RegistryRedirect::Active()) {
    std::fprintf(stderr, "a key at an agent's own path needs a registry redirect\n");
    std::abort();
  }
  Delete();
  UniqueHkey key;
  EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_,
                              nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
}

ScratchKey::~ScratchKey() { Delete(); }

void ScratchKey::Delete() {
  UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_ALL_ACCESS | view_, key.put()) !=
      ERROR_SUCCESS)
    return;
  ::RegDeleteTreeW(key.get(), nullptr);
  key.reset();
  ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), view_, 0);
}

void ScratchKey::SetValue(const wchar_t* value, DWORD type, const void* data, DWORD size,
                          const wchar_t* subkey) {
  const std::wstring path = subkey ? path_ + L"\\" + subkey : path_;
  UniqueHkey key;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_,
                              nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(::RegSetValueExW(key.get(), value, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

void ScratchKey::SetBinary(const wchar_t* value, const void* data, DWORD size, const wchar_t* subkey) {
  SetValue(value, REG_BINARY, data, size, subkey);
}

void ScratchKey::SetString(const wchar_t* value, const wchar_t* text, const wchar_t* subkey) {
  SetValue(value, REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)), subkey);
}

void ScratchKey::SetDword(const wchar_t* value, DWORD data, const wchar_t* subkey) {
  SetValue(value, REG_DWORD, &data, sizeof(data), subkey);
}

}  // namespace qfu::test
