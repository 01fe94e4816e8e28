#include "store/request_walk.h"

#include <array>
#include <memory>
#include <new>

#include "common/handle.h"
#include "common/mutex_guard.h"
#include "store/registry_value.h"
#include "store/request_key.h"
#include "wire/update_status.h"

namespace qfu::store {
namespace {

// Most stored messages fit this buffer, which saves asking for their size first.
constexpr DWORD kFirstMessageRead = 1024;

// Reads the request key at key (open) into request; false when it is final or a read fails.
bool ReadInProgress(HKEY key, StoredRequest& request) {
  DWORD status = 0;
  if (QueryValue(key, value::kUpdateStatus, &status, sizeof(status)) != ERROR_SUCCESS ||
      wire::IsFinalStatus(wire::UpdateStatus{status})) {
    return false;
  }
  request.status = wire::UpdateStatus{status};
  DWORD error_code = 0;
  std::array<std::uint8_t, wire::kUiNameSize> ui_name{};
  std::array<std::uint8_t, wire::kSoftwareVersionSize> version{};
  if (QueryValue(key, value::kSystemErrorCode, &error_code, sizeof(error_code)) != ERROR_SUCCESS ||
      QueryValue(key, value::kUiName, ui_name.data(), static_cast<DWORD>(ui_name.size())) != ERROR_SUCCESS ||
      QueryValue(key, value::kSoftwareVersion, version.data(), static_cast<DWORD>(version.size())) !=
          ERROR_SUCCESS) {
    return false;
  }
  std::array<std::uint8_t, kFirstMessageRead> first{};
  DWORD size = kFirstMessageRead;
  LSTATUS read = ::RegQueryValueExW(key, value::kInitialRequest, nullptr, nullptr, first.data(), &size);
  if (read != ERROR_SUCCESS && read != ERROR_MORE_DATA) return false;
  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]);
  if (!bytes) return false;
  if (read == ERROR_SUCCESS) {
    std::copy_n(first.data(), size, bytes.get());
  } else if (QueryValue(key, value::kInitialRequest, bytes.get(), size) != ERROR_SUCCESS) {
    return false;
  }
  request.stored.message.bytes = std::move(bytes);
  request.stored.message.length = size;
  std::uint64_t request_time = 0;
  if (QueryValue(key, value::kRequestTime, &request_time, sizeof(request_time)) == ERROR_SUCCESS)
    request.stored.request_time = FileTimeUnits(request_time);
  return true;
}

}  // namespace

DWORD ReadRequestsInProgress(ProcessObjects& objects, const std::function<bool(const std::wstring&)>& accept,
                             std::vector<StoredRequest>& in_progress) {
  MutexGuard registry(objects.registry_mutex.get());
  if (!registry.acquired()) return registry.error();
  UniqueHkey service_key;
  if (const LSTATUS opened =
          ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, KEY_READ, service_key.put());
      opened != ERROR_SUCCESS) {
    return static_cast<DWORD>(opened);
  }
  // By index: the walk creates and deletes no keys, so the indexes stay valid.
  for (DWORD index = 0;; ++index) {
    wchar_t name[kKeyNameCapacity] = {};
    DWORD units = kKeyNameCapacity;
    if (::RegEnumKeyExW(service_key.get(), index, name, &units, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return ERROR_SUCCESS;  // 259 at the end
    }
    StoredRequest request;
    request.key_name.assign(name, std::min<DWORD>(units, kKeyNameCapacity - 1));
    if (!accept(request.key_name)) continue;
    UniqueHkey key;
    if (::RegOpenKeyExW(service_key.get(), request.key_name.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
      continue;
    if (ReadInProgress(key.get(), request)) in_progress.push_back(std::move(request));
  }
}

}  // namespace qfu::store
