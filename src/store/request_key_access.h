#pragma once
// The pattern of every store operation on one request key: build the key path, hold the
// registry mutex, open the key (for reading, or creating it for writing), do the value
// reads or writes, close the key, release the mutex. Used by the store's own operations.
#include <windows.h>

#include <cstdint>

#include "common/handle.h"
#include "common/mutex_guard.h"
#include "store/process_objects.h"
#include "store/registry_value.h"
#include "store/request_key.h"
#include "wire/message.h"

namespace qfu::store {

enum class KeyAccess { kRead, kWrite };

// Runs body(HKEY) on the request key of name and instance number under the registry mutex and
// returns its result. A name that cannot key a request gives ERROR_INVALID_NAME; a failed
// registry mutex wait gives the wait's Win32 error and a failed open gives its error, both
// without running body. The key is closed before the mutex is released.
template <typename Body>
[[nodiscard]] DWORD AccessRequestKey(ProcessObjects& objects, wire::Bytes request_name_field,
                                     std::uint32_t instance_number, KeyAccess access, Body&& body) {
  if (!IsStorableRequestName(request_name_field)) return ERROR_INVALID_NAME;
  const std::wstring path = BuildRequestKeyPath(kServiceKeyPath, request_name_field, instance_number);
  MutexGuard registry(objects.registry_mutex.get());
  if (!registry.acquired()) return registry.error();
  UniqueHkey key;
  // Reads use KEY_READ; writes create a missing request key (KEY_ALL_ACCESS, default security).
  const LSTATUS open = access == KeyAccess::kRead
                           ? ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put())
                           : ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
  if (open != ERROR_SUCCESS) return static_cast<DWORD>(open);
  return body(key.get());
}

}  // namespace qfu::store
