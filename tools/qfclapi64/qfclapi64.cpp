// Stand-in for the VPN client's API library. It answers from DWORD values under its own key,
// HKLM\SOFTWARE\QFUpdateStandIn\ClientApi (or the path under HKLM that the environment
// variable QFCLAPI_STANDIN_KEY names, so that tests running at once each have their own):
//   "ConnectionState", "NetworkType", "Version"  what the three queries return (missing: 0)
//   "TriggerResult"                              what the trigger condition call returns
// and records each trigger condition it is given in "LastTriggerCondition" (REG_SZ, "TRUE"
// or "FALSE") and the number of such calls in "TriggerCalls" (REG_DWORD).
#include <windows.h>

#include <strsafe.h>

#include <cwchar>

#include "common/handle.h"

namespace {

constexpr const wchar_t* kDefaultKeyPath = L"SOFTWARE\\QFUpdateStandIn\\ClientApi";
constexpr const wchar_t* kKeyVariable = L"QFCLAPI_STANDIN_KEY";
constexpr DWORD kKeyPathChars = 512;
constexpr const wchar_t* kTriggerCondition = L"QFUPDATE_TRIGGER";

// Fills path with the key path; false when the variable holds more than the buffer takes
// (then nothing is read or written rather than falling back to the shared default key).
bool KeyPath(wchar_t (&path)[kKeyPathChars]) {
  const DWORD length = ::GetEnvironmentVariableW(kKeyVariable, path, kKeyPathChars);
  if (length == 0) return SUCCEEDED(::StringCchCopyW(path, kKeyPathChars, kDefaultKeyPath));
  return length < kKeyPathChars;
}

qfu::UniqueHkey OpenKey(REGSAM access, bool create) {
  qfu::UniqueHkey key;
  wchar_t path[kKeyPathChars];
  if (!KeyPath(path)) return key;
  access |= KEY_WOW64_64KEY;
  if (create) {
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, access, nullptr, key.put(), nullptr);
  } else {
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, access, key.put());
  }
  return key;
}

DWORD ReadDword(HKEY key, const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (key == nullptr ||
      ::RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
    return 0;
  }
  return value;
}

DWORD ReadSetting(const wchar_t* name) { return ReadDword(OpenKey(KEY_QUERY_VALUE, false).get(), name); }

}  // namespace

extern "C" {

DWORD WINAPI QuillfernGetPointOfPresenceNetworkType(void) { return ReadSetting(L"NetworkType"); }

DWORD WINAPI QuillfernGetConnectionState(void) { return ReadSetting(L"ConnectionState"); }

DWORD WINAPI QuillfernGetVersion(void) { return ReadSetting(L"Version"); }

DWORD WINAPI QuillfernSetExternalCondition(const wchar_t* name, const wchar_t* value) {
  if (name == nullptr || value == nullptr) return ERROR_INVALID_PARAMETER;
  // Only the agent's trigger condition is recorded; a test sees any other name as no call.
  if (::wcscmp(name, kTriggerCondition) != 0) return ERROR_NOT_SUPPORTED;
  const qfu::UniqueHkey key = OpenKey(KEY_QUERY_VALUE | KEY_SET_VALUE, true);
  if (!key) return ERROR_PATH_NOT_FOUND;
  const auto value_size = static_cast<DWORD>((::wcslen(value) + 1) * sizeof(wchar_t));
  LSTATUS status = ::RegSetValueExW(key.get(), L"LastTriggerCondition", 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(value), value_size);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  const DWORD calls = ReadDword(key.get(), L"TriggerCalls") + 1;
  status = ::RegSetValueExW(key.get(), L"TriggerCalls", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&calls),
                            sizeof(calls));
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  return ReadDword(key.get(), L"TriggerResult");
}

}  // extern "C"
