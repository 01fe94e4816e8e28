#include "support/store_faults.h"

#include "store/request_time.h"
#include "store/store_operations.h"
#include "wire/update_status.h"

namespace qfu::test {

RequestKeyValues RequestKeySnapshot(const TestStore& store, const std::wstring& request_key) {
  namespace value = store::value;
  RequestKeyValues values;
  for (const wchar_t* name : {value::kUpdateStatus, value::kSystemErrorCode, value::kInitialRequest,
                              value::kUiName, value::kSoftwareVersion, value::kTargetPath,
                              value::kCancelPending, value::kRequestTime, value::kTimeStamp}) {
    const auto stored = store.Value(request_key, name);
    values.push_back(stored ? std::optional(std::pair(stored->type, stored->bytes)) : std::nullopt);
  }
  return values;
}

bool StoreEveryValue(TestStore& store, const wire::MessageWriter& message) {
  ProcessObjects& objects = store.objects();
  const wire::RequestMessage request(message.span());
  const wire::Bytes name = request.request_name_field();
  const std::uint32_t instance = request.instance_number();
  const wchar_t path[store::kTargetPathCapacity] = L"C:\\ProgramData\\pkg\\stored.msi";
  return store::SetRequestStatus(objects, message.span(), wire::kQueued, 0, true) == ERROR_SUCCESS &&
         store::SetTargetPath(objects, name, instance, path, store::kTargetPathBytes) == ERROR_SUCCESS &&
         store::SetCancelPending(objects, name, instance) == ERROR_SUCCESS &&
         store::RecordRequestTime(objects, name, instance, store.clock().utc) == ERROR_SUCCESS;
}

bool RequestKeyExists(TestStore& store, const std::wstring& request_key) {
  UniqueHkey key;
  const std::wstring path = store.key().path() + L"\\" + request_key;
  return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

UniqueHandle WithoutWaitRight(HANDLE mutex) {
  UniqueHandle duplicate;
  if (!::DuplicateHandle(::GetCurrentProcess(), mutex, ::GetCurrentProcess(), duplicate.put(),
                         MUTANT_QUERY_STATE, FALSE, 0)) {
    duplicate.reset();
  }
  return duplicate;
}

FaultyRegistryMutex::FaultyRegistryMutex(ProcessObjects& objects, HANDLE faulty)
    : objects_(objects), own_(objects.registry_mutex.release()) {
  objects_.registry_mutex.reset(faulty);
}

FaultyRegistryMutex::~FaultyRegistryMutex() {
  (void)objects_.registry_mutex.release();  // not ours to close
  objects_.registry_mutex.reset(own_);
}

}  // namespace qfu::test
