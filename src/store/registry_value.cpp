#include "store/registry_value.h"

#include <algorithm>
#include <cwchar>

#include "common/handle.h"

namespace qfu::store {

RegistryRead ReadRegistryValue(HKEY root, const wchar_t* subkey, const wchar_t* value_name, wchar_t* buffer,
                               DWORD buffer_size, REGSAM view) {
  const DWORD units = buffer_size / sizeof(wchar_t);
  if (buffer == nullptr || units == 0) return RegistryRead::kValueNotUsable;
  buffer[0] = L'\0';
  UniqueHkey key;
  if (::RegOpenKeyExW(root, subkey, 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
    return RegistryRead::kKeyNotOpened;
  }
  // RRF_RT_ANY takes a value of any type. The call terminates string types when there is
  // room, but a binary or untyped value arrives as stored, and under Wine so does a string
  // that fills the buffer exactly: the text is ended here, from the size read.
  // RRF_NOEXPAND: a REG_EXPAND_SZ is taken as stored. Expanding gives no text of ours anything,
  // and Wine's expansion into the caller's buffer counts its size in bytes as characters,
  // writing up to twice the buffer for a value that does not fit.
  DWORD size = units * sizeof(wchar_t);
  if (::RegGetValueW(key.get(), nullptr, value_name, RRF_RT_ANY | RRF_NOEXPAND, nullptr, buffer, &size) !=
          ERROR_SUCCESS ||
      size > units * sizeof(wchar_t)) {
    buffer[0] = L'\0';
    return RegistryRead::kValueNotUsable;
  }
  // A last odd byte is no unit of the text.
  const DWORD read_units = size / sizeof(wchar_t);
  if (std::wmemchr(buffer, L'\0', read_units) != nullptr) return RegistryRead::kText;
  if (read_units == units) {  // no room left for the terminator
    buffer[0] = L'\0';
    return RegistryRead::kValueNotUsable;
  }
  buffer[read_units] = L'\0';
  return RegistryRead::kText;
}

DWORD QueryValue(HKEY key, const wchar_t* name, void* buffer, DWORD size) noexcept {
  return static_cast<DWORD>(
      ::RegQueryValueExW(key, name, nullptr, nullptr, static_cast<BYTE*>(buffer), &size));
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
