#include "store/user_agent.h"

#include <cstring>
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
  status = ::RegQueryValueExW(key.get(), L"UserAgent", nullptr, nullptr, reinterpret_cast<BYTE*>(scratch.data()), &size);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  DWORD units = size / sizeof(wchar_t);
  while (units > 0 && scratch[units - 1] == L'\0') --units;  // stored terminators
  if (units >= capacity) return ERROR_MORE_DATA;
  std::memcpy(buffer, scratch.data(), units * sizeof(wchar_t));
  buffer[units] = L'\0';
  return ERROR_SUCCESS;
}

}  // namespace qfu::store
