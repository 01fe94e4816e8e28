#include "store/registry_value.h"

#include "common/handle.h"

namespace qfu::store {

bool ReadRegistryValue(HKEY root, const wchar_t* subkey, const wchar_t* value_name, void* buffer,
                       DWORD buffer_size, REGSAM extra_access) {
  UniqueHkey key;
  if (::RegOpenKeyExW(root, subkey, 0, KEY_READ | extra_access, key.put()) != ERROR_SUCCESS) return false;
  DWORD size = buffer_size;
  return ::RegGetValueW(key.get(), nullptr, value_name, RRF_RT_ANY, nullptr, buffer, &size) == ERROR_SUCCESS;
}

}  // namespace qfu::store
