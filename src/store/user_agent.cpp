#include "store/user_agent.h"

#include <cstring>
#include <cwchar>
#include <vector>

#include "common/handle.h"

namespace qfu::store {

DWORD GetUserAgent(HKEY root, const wchar_t* service_key, wchar_t* buffer, DWORD buffer_size) {
  const DWORD capacity = buffer_size / sizeof(wchar_t);
  if (capacity == 0) return ERROR_INVALID_PARAMETER;
  UniqueHkey key;
  LSTATUS status = ::RegOpenKeyExW(root, service_key, 0, KEY_READ, key.put());
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  // Read into scratch so that a value that is too long never leaves half a text behind.
  std::vector<wchar_t> scratch(capacity, L'\0');
  DWORD size = capacity * sizeof(wchar_t);
  status = ::RegQueryValueExW(key.get(), L"UserAgent", nullptr, nullptr,
                              reinterpret_cast<BYTE*>(scratch.data()), &size);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  DWORD units = size / sizeof(wchar_t);
  while (units > 0 && scratch[units - 1] == L'\0') --units;  // stored terminators
  if (units >= capacity) return ERROR_MORE_DATA;
  std::memcpy(buffer, scratch.data(), units * sizeof(wchar_t));
  buffer[units] = L'\0';
  return ERROR_SUCCESS;
}

DWORD SetUserAgent(HKEY root, const wchar_t* service_key, const wchar_t* text) {
  UniqueHkey key;
  // KEY_WRITE only: the service key must exist already; nothing is created here.
  const LSTATUS status = ::RegOpenKeyExW(root, service_key, 0, KEY_WRITE, key.put());
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  const DWORD size = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
  return static_cast<DWORD>(
      ::RegSetValueExW(key.get(), L"UserAgent", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size));
}

}  // namespace qfu::store
