#include "support/scratch_key.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <vector>

#include "common/handle.h"
#include "locale/resource_module.h"
#include "package/working_directory.h"
#include "store/request_key.h"

namespace qfu::test {
namespace {

constexpr const wchar_t* kTestsRoot = L"SOFTWARE\\QFUpdateTests\\";
constexpr REGSAM kView = KEY_WOW64_64KEY;
constexpr const wchar_t* kLinkValue = L"SymbolicLinkValue";

// The keys the agent owns, up to the first level that is the agent's alone.
const std::wstring kOwnKeys[] = {store::kServiceKeyPath, L"SYSTEM\\CurrentControlSet\\Services\\VIVAD",
                                 locale::kProductKeyPath};

bool redirect_active = false;

// Deletes the key at path in the view, with everything below it.
void DeleteKey(const std::wstring& path, REGSAM view) {
  UniqueHkey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | view, key.put()) != 0) return;
  ::RegDeleteTreeW(key.get(), nullptr);
  key.reset();
  ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
}

void Abort(const char* why) {
  std::fprintf(stderr, "%s\n", why);
  std::abort();
}

std::vector<std::wstring> SubkeyNames(HKEY key) {
  std::vector<std::wstring> names;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(std::size(name));
    if (::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != 0) break;
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
  if (::RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, KEY_READ | DELETE | kView, key.put()) != 0)
    return;
  DWORD type = REG_NONE;
  if (::RegQueryValueExW(key.get(), kLinkValue, nullptr, &type, nullptr, nullptr) != 0 || type != REG_LINK) {
    for (const std::wstring& child : SubkeyNames(key.get())) DeleteWithoutFollowing(key.get(), child);
  }
  if (nt_delete_key != nullptr) nt_delete_key(key.get());
}

// Fills mirror, the copy of the real key at path: an own key is left out, a key on the way to
// one is mirrored in turn, every other is a volatile link to the real one.
void Mirror(HKEY real, HKEY mirror, const std::wstring& path) {
  for (const std::wstring& name : SubkeyNames(real)) {
    const std::wstring child = path.empty() ? name : path + L"\\" + name;
    const auto same = [&](const std::wstring& own) { return ::_wcsicmp(own.c_str(), child.c_str()) == 0; };
    const auto on_the_way = [&](const std::wstring& own) {
      return own.size() > child.size() && own[child.size()] == L'\\' &&
             ::_wcsnicmp(own.c_str(), child.c_str(), child.size()) == 0;
    };
    UniqueHkey real_child;
    UniqueHkey mirror_child;
    if (std::ranges::any_of(kOwnKeys, same)) continue;
    if (std::ranges::any_of(kOwnKeys, on_the_way)) {
      if (::RegOpenKeyExW(real, name.c_str(), 0, KEY_READ | kView, real_child.put()) == 0 &&
          ::RegCreateKeyExW(mirror, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView, nullptr,
                            mirror_child.put(), nullptr) == 0) {
        Mirror(real_child.get(), mirror_child.get(), child);
      }
      continue;
    }
    const std::wstring target = L"\\Registry\\Machine\\" + child;
    EXPECT_EQ(
        ::RegCreateKeyExW(mirror, name.c_str(), 0, nullptr, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK,
                          KEY_ALL_ACCESS | kView, nullptr, mirror_child.put(), nullptr),
        0);
    if (mirror_child) {
      EXPECT_EQ(::RegSetValueExW(mirror_child.get(), kLinkValue, 0, REG_LINK,
                                 reinterpret_cast<const BYTE*>(target.data()),
                                 static_cast<DWORD>(target.size() * sizeof(wchar_t))),
                0);
    }
  }
}

}  // namespace

RegistryRedirect::RegistryRedirect(const std::wstring& name)
    : root_path_(kTestsRoot + (L"Redirect" + name + L"_" + std::to_wstring(::GetCurrentProcessId()))) {
  if (redirect_active) Abort("a registry redirect is in force already");
  DeleteWithoutFollowing(HKEY_LOCAL_MACHINE, root_path_);
  UniqueHkey real;
  UniqueHkey root;
  const bool made = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ | kView, real.put()) == 0 &&
                    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, root_path_.c_str(), 0, nullptr, 0,
                                      KEY_ALL_ACCESS | kView, nullptr, root.put(), nullptr) == 0;
  if (made) Mirror(real.get(), root.get(), L"");
  if (!made || ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, root.get()) != 0)
    Abort("HKEY_LOCAL_MACHINE could not be redirected");
  redirect_active = true;
}

RegistryRedirect::~RegistryRedirect() {
  (void)::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  redirect_active = false;
  DeleteWithoutFollowing(HKEY_LOCAL_MACHINE, root_path_);
}

ScratchKey::ScratchKey(const std::wstring& name, REGSAM view, Place place)
    : path_(place == Place::kTestsRoot ? kTestsRoot + name : name), view_(view) {
  if (place == Place::kRedirectedMachine && !redirect_active)
    Abort("a key at an agent's own path needs a registry redirect");
  DeleteKey(path_, view_);
  UniqueHkey key;
  EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_,
                              nullptr, key.put(), nullptr),
            0);
}

ScratchKey::~ScratchKey() { DeleteKey(path_, view_); }

void ScratchKey::SetValue(const wchar_t* value, DWORD type, const void* data, DWORD size,
                          const wchar_t* subkey) {
  const std::wstring path = subkey ? path_ + L"\\" + subkey : path_;
  UniqueHkey key;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_,
                              nullptr, key.put(), nullptr),
            0);
  ASSERT_EQ(::RegSetValueExW(key.get(), value, 0, type, static_cast<const BYTE*>(data), size), 0);
}

}  // namespace qfu::test
