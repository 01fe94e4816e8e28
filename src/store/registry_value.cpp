#include "store/registry_value.h"

#include <algorithm>

#include "common/handle.h"

namespace qfu::store {

bool ReadRegistryValue(HKEY root, const wchar_t* subkey, const wchar_t* value_name, void* buffer,
                       DWORD buffer_size, REGSAM extra_access) {
  UniqueHkey key;
  if (::RegOpenKeyExW(root, subkey, 0, KEY_READ | extra_access, key.put()) != ERROR_SUCCESS) return false;
  DWORD size = buffer_size;
  return ::RegGetValueW(key.get(), nullptr, value_name, RRF_RT_ANY, nullptr, buffer, &size) == ERROR_SUCCESS;
}

DWORD QueryValue(HKEY key, const wchar_t* name, void* buffer, DWORD size) noexcept {
  return static_cast<DWORD>(::RegQueryValueExW(key, name, nullptr, nullptr, static_cast<BYTE*>(buffer), &size));
}

DWORD QueryStringValue(HKEY key, const wchar_t* name, wchar_t* buffer, DWORD size) noexcept {
  const DWORD units = size / sizeof(wchar_t);
  if (units == 0) return ERROR_INVALID_PARAMETER;
  std::fill_n(buffer, units, L'\0');
  DWORD read = units * sizeof(wchar_t);
  const LSTATUS status =
      ::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &read);
  if (status != ERROR_SUCCESS) {
    buffer[0] = L'\0';
    return static_cast<DWORD>(status);
  }
  // A stored text need not end with a terminator: end it inside the buffer in any case.
  buffer[std::min<DWORD>(read / sizeof(wchar_t), units - 1)] = L'\0';
  return ERROR_SUCCESS;
}

DWORD SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) noexcept {
  return static_cast<DWORD>(::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
}

}  // namespace qfu::store
