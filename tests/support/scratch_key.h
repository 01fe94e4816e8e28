#pragma once
// Registry keys of a test's own: a scratch key under HKLM\SOFTWARE\QFUpdateTests, or, while a
// RegistryRedirect lives, a key at one of the agent's own paths of HKEY_LOCAL_MACHINE. Each is
// deleted with everything below it when the test starts and when it ends.
#include <windows.h>

#include <string>

namespace qfu::test {

// Redirects HKEY_LOCAL_MACHINE, for this process (RegOverridePredefKey), onto a scratch tree
// while it lives, so that the agent's code, which always uses its real key paths, reads and
// writes keys of the test's own. The agent's own keys (the service key, the product's key, the
// working directory's key) start missing; every other key stays reachable through a symbolic
// link to the real one, for what Windows reads there itself (WinHTTP, WinVerifyTrust, the known
// folders). One at a time per process; a failed redirect ends the test program rather than let
// a test write to the real keys.
class RegistryRedirect {
 public:
  explicit RegistryRedirect(const std::wstring& name);
  RegistryRedirect(const RegistryRedirect&) = delete;
  RegistryRedirect& operator=(const RegistryRedirect&) = delete;
  ~RegistryRedirect();

  // True while a redirect is in force in this process.
  [[nodiscard]] static bool Active();

 private:
  // Fills mirror, the copy of the real key at path, with a link for each subkey but those on
  // the way to an own key, which become keys of the mirror's own.
  void Mirror(HKEY real, HKEY mirror, const std::wstring& path);
  void Delete();
  std::wstring root_path_;  // the scratch tree, under the real HKEY_LOCAL_MACHINE
};

class ScratchKey {
 public:
  enum class Place { kTestsRoot, kRedirectedMachine };
  // name: unique per test, so that tests running at once never share a key; with
  // kRedirectedMachine, the key's path under HKEY_LOCAL_MACHINE while a RegistryRedirect lives.
  explicit ScratchKey(const std::wstring& name, REGSAM view = KEY_WOW64_64KEY,
                      Place place = Place::kTestsRoot);
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
