#include "support/client_api_standin.h"

#include <strsafe.h>

#include <gtest/gtest.h>
#include <vector>

#include "common/handle.h"
#include "support/process.h"

namespace qfu::test {
namespace {

constexpr const wchar_t* kKeyVariable = L"QFCLAPI_STANDIN_KEY";

bool ReadWholeFile(const std::wstring& path, std::vector<char>& contents) {
  const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size = {};
  if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > 64 * 1024 * 1024) return false;
  contents.resize(static_cast<std::size_t>(size.QuadPart));
  DWORD got = 0;
  return ::ReadFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &got, nullptr) &&
         got == contents.size();
}

bool SameContents(const std::wstring& a, const std::wstring& b) {
  std::vector<char> first;
  std::vector<char> second;
  return ReadWholeFile(a, first) && ReadWholeFile(b, second) && first == second;
}

}  // namespace

bool InstallClientApiStandIn() {
  const std::wstring built = BuiltProgram(worker::kClientApiLibrary);
  wchar_t system_dir[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(system_dir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::wstring installed = std::wstring(system_dir) + L"\\" + worker::kClientApiLibrary;
  if (SameContents(built, installed)) return true;
  // Copy beside the target under a name of this process's own, then rename over it, so a
  // test process never loads a half-written library that another one is copying.
  const std::wstring partial = installed + L"." + std::to_wstring(::GetCurrentProcessId()) + L".partial";
  if (::CopyFileW(built.c_str(), partial.c_str(), FALSE) &&
      !::MoveFileExW(partial.c_str(), installed.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    ::DeleteFileW(partial.c_str());
  }
  return SameContents(built, installed);
}

std::wstring CopyClientApiBeside(const wchar_t* file_name, DWORD expected_connection_state) {
  const std::wstring beside = BuiltProgram(file_name);
  if (!::CopyFileW(BuiltProgram(worker::kClientApiLibrary).c_str(), beside.c_str(), FALSE)) return {};
  const UniqueModule copy(::LoadLibraryW(beside.c_str()));
  using GetState = DWORD(WINAPI*)();
  const auto get_state = copy ? reinterpret_cast<GetState>(reinterpret_cast<void (*)()>(
                                    ::GetProcAddress(copy.get(), "QuillfernGetConnectionState")))
                              : nullptr;
  return get_state && get_state() == expected_connection_state ? beside : std::wstring();
}

ClientApiStandIn::ClientApiStandIn(const std::wstring& name) : key_(L"ClientApi" + name) {
  installed_ = InstallClientApiStandIn();
  EXPECT_TRUE(installed_) << "the stand-in library could not be installed into the system directory";
  wchar_t previous[512] = {};
  const DWORD length = ::GetEnvironmentVariableW(kKeyVariable, previous, 512);
  had_variable_ = length > 0 && length < 512;
  if (had_variable_) previous_variable_ = previous;
  EXPECT_TRUE(::SetEnvironmentVariableW(kKeyVariable, key_.path().c_str()));
}

ClientApiStandIn::~ClientApiStandIn() {
  ::SetEnvironmentVariableW(kKeyVariable, had_variable_ ? previous_variable_.c_str() : nullptr);
}

std::wstring ClientApiStandIn::LastTriggerCondition() const {
  wchar_t text[64] = {};
  DWORD size = sizeof(text);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key_.path().c_str(), L"LastTriggerCondition", RRF_RT_REG_SZ, nullptr,
                     text, &size) != ERROR_SUCCESS) {
    return {};
  }
  return text;
}

DWORD ClientApiStandIn::TriggerCalls() const {
  DWORD calls = 0;
  DWORD size = sizeof(calls);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key_.path().c_str(), L"TriggerCalls", RRF_RT_REG_DWORD, nullptr,
                     &calls, &size) != ERROR_SUCCESS) {
    return 0;
  }
  return calls;
}

DWORD FakeClientApi::SetTriggerCondition(bool downloading) {
  ++(downloading ? trigger_true_calls : trigger_false_calls);
  trigger = downloading;
  return trigger_result;
}

bool FakeClientApi::InstalledVersion(std::span<wchar_t> buffer) {
  if (version.empty() || buffer.empty()) return false;
  (void)::StringCchCopyW(buffer.data(), buffer.size(), version.c_str());  // cut to fit, as the library's is
  return true;
}

}  // namespace qfu::test
