#pragma once
// Request keys as an earlier run of the agent left them, written value by value under a test
// store's scratch key (never through the store's own operations), for start-up recovery.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/request_record.h"
#include "support/test_store.h"
#include "wire/message_writer.h"

namespace qfu::test {

struct StoredValues {
  wire::UpdateStatus status{};
  bool initial_request = true;                // "InitialRequest": the message's bytes
  std::wstring target_path;                   // "TargetPath" (522 bytes) when not empty
  std::optional<std::uint64_t> request_time;  // "RequestTime" and a "TimeStamp"
  bool cancel_pending = false;                // "CancelPending" = 1
};

// A submit of a current client at version with a deadline and a 30-90 minute random delay, a
// dry run when instance is not 0: as recovery finds it stored.
[[nodiscard]] wire::MessageWriter RecoverableMessage(std::string_view name, std::string_view version,
                                                     std::uint32_t deadline_minutes, std::uint32_t instance);
// The request key name of a listed record: its request name and instance number.
[[nodiscard]] std::wstring ListedKeyName(const store::RequestRecord& record);

// Writes under the store's key, in the subkey key_name: "UpdateStatus", "SystemErrorCode" (0),
// "UIName" and "SoftwareVersion" from the message's fields, and the values asked for.
void StoreRequestKey(TestStore& store, const std::wstring& key_name, const wire::MessageWriter& message,
                     const StoredValues& values);

}  // namespace qfu::test
