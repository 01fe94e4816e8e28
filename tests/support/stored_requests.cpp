#include "support/stored_requests.h"

#include <array>

#include "common/utf.h"
#include "store/request_key.h"
#include "store/request_record.h"
#include "store/store_operations.h"
#include "support/test_messages.h"
#include "wire/update_status.h"

namespace qfu::test {

void StoreRequestKey(TestStore& store, const std::wstring& key_name, const wire::MessageWriter& message,
                     const StoredValues& values) {
  ScratchKey& key = store.key();
  const wchar_t* subkey = key_name.c_str();
  const wire::RequestMessage request(message.span());
  key.SetDword(store::value::kUpdateStatus, wire::WireValue(values.status), subkey);
  key.SetDword(store::value::kSystemErrorCode, 0, subkey);
  key.SetBinary(store::value::kUiName, request.ui_name_field().data(), wire::kUiNameSize, subkey);
  key.SetBinary(store::value::kSoftwareVersion, request.software_version_field().data(),
                wire::kSoftwareVersionSize, subkey);
  if (values.initial_request) {
    key.SetBinary(store::value::kInitialRequest, message.span().data(),
                  static_cast<DWORD>(message.span().size()), subkey);
  }
  if (!values.target_path.empty()) {
    std::array<wchar_t, store::kTargetPathCapacity> path{};  // NUL-padded, as the worker writes it
    values.target_path.copy(path.data(), path.size() - 1);
    key.SetValue(store::value::kTargetPath, REG_SZ, path.data(), store::kTargetPathBytes, subkey);
  }
  if (values.request_time) {
    key.SetValue(store::value::kRequestTime, REG_QWORD, &*values.request_time, sizeof(std::uint64_t), subkey);
    key.SetString(store::value::kTimeStamp, L"2024-05-06 07:08:09", subkey);
  }
  if (values.cancel_pending) key.SetDword(store::value::kCancelPending, 1, subkey);
}

wire::MessageWriter RecoverableMessage(std::string_view name, std::string_view version,
                                       std::uint32_t deadline_minutes, std::uint32_t instance) {
  wire::MessageWriter message = SubmitMessage(name);
  message.U32(wire::kProductKindAt, wire::product_kind::kCurrentClient).Version(version);
  message.U32(wire::kDeadlineAt, deadline_minutes)
      .U32(wire::kRandomDelayMinAt, 30)
      .U32(wire::kRandomDelayMaxAt, 90);
  if (instance != 0) message.Instance(instance);
  return message;
}

std::wstring ListedKeyName(const store::RequestRecord& record) {
  const wire::RequestMessage message(record.message());
  return store::FormatRequestKeyName(Utf8ToWide(message.request_name()), message.instance_number());
}

}  // namespace qfu::test
