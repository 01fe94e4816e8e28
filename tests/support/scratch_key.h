#pragma once
// A registry key of a test's own under HKLM\SOFTWARE\QFUpdateTests, deleted with everything
// below it when the test starts and when it ends.
#include <windows.h>

#include <string>

namespace qfu::test {

class ScratchKey {
 public:
  // name: unique per test, so that tests running at once never share a key.
  explicit ScratchKey(const std::wstring& name, REGSAM view = KEY_WOW64_64KEY);
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;
  ~ScratchKey();

  // Path under HKEY_LOCAL_MACHINE.
  [[nodiscard]] const std::wstring& path() const { return path_; }
  void SetString(const wchar_t* value, const wchar_t* text, const wchar_t* subkey = nullptr);
  void SetDword(const wchar_t* value, DWORD data, const wchar_t* subkey = nullptr);
  void SetBinary(const wchar_t* value, const void* data, DWORD size, const wchar_t* subkey = nullptr);
  // Writes size bytes of data as a value of any type (the bytes as given, no terminator added).
  void SetValue(const wchar_t* value, DWORD type, const void* data, DWORD size,
                const wchar_t* subkey = nullptr);

 private:
  void Delete();
  std::wstring path_;
  REGSAM view_;
};

}  // namespace qfu::test
