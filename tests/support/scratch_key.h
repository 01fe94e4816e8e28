#pragma once
// Registry keys of a test's own. A RegistryRedirect points HKEY_LOCAL_MACHINE of this process at
// a scratch tree in which the agent's own keys start missing and every other key links to the
// real one; a failed redirect ends the program. A ScratchKey lies under
// HKLM\SOFTWARE\QFUpdateTests or, under a redirect, at an agent's own path; it is deleted with
// everything below it when the test starts and when it ends.
#include <windows.h>

#include <string>

namespace qfu::test {

class RegistryRedirect {
 public:
  explicit RegistryRedirect(const std::wstring& name);
  RegistryRedirect(const RegistryRedirect&) = delete;
  RegistryRedirect& operator=(const RegistryRedirect&) = delete;
  ~RegistryRedirect();

 private:
  std::wstring root_path_;  // the scratch tree, under the real HKEY_LOCAL_MACHINE
};

class ScratchKey {
 public:
  enum class Place { kTestsRoot, kRedirectedMachine };
  // name: unique per test; with kRedirectedMachine, the key's path under HKEY_LOCAL_MACHINE.
  explicit ScratchKey(const std::wstring& name, REGSAM view = KEY_WOW64_64KEY,
                      Place place = Place::kTestsRoot);
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;
  ~ScratchKey();

  [[nodiscard]] const std::wstring& path() const { return path_; }  // under HKEY_LOCAL_MACHINE
  // Writes size bytes of data as a value of any type (the bytes as given, no terminator added).
  void SetValue(const wchar_t* value, DWORD type, const void* data, DWORD size,
                const wchar_t* subkey = nullptr);
  void SetString(const wchar_t* value, const wchar_t* text, const wchar_t* subkey = nullptr) {
    SetValue(value, REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)), subkey);
  }
  void SetDword(const wchar_t* value, DWORD data, const wchar_t* subkey = nullptr) {
    SetValue(value, REG_DWORD, &data, sizeof(data), subkey);
  }

 private:
  std::wstring path_;
  REGSAM view_;
};

}  // namespace qfu::test
