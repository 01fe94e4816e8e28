#include "ipc/status_notification.h"

#include <array>

#include "common/handle.h"
#include "wire/status_record.h"
#include "wire/update_status.h"

namespace qfu::ipc {

using namespace wire;

void BuildStatusNotification(Bytes message, std::uint32_t status, std::uint32_t detail,
                             MutableBytes notification) noexcept {
  StatusRecord record(notification);
  wire::PrepareStatusRecord(message, record);
  record.set_update_status(status);
  record.set_system_error_code(detail);
}

void NotifyStatus(const wchar_t* pipe_name, Bytes message, std::uint32_t status, std::uint32_t detail) noexcept {
  // A new request is not announced, only its later changes.
  if (status == wire::kQueued) return;
  std::array<std::uint8_t, kStatusRecordSize> notification{};
  BuildStatusNotification(message, status, detail, notification);

  for (;;) {
    // Write only, no sharing: the listener reads one whole record per connection.
    UniqueFile pipe(::CreateFileW(pipe_name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (pipe) {
      DWORD written = 0;
      (void)::WriteFile(pipe.get(), notification.data(), static_cast<DWORD>(notification.size()), &written, nullptr);
      return;
    }
    // Every instance is taken: wait for one to free up, then race for it again. Anything
    // else (nobody serves the pipe, the wait timed out) drops the notification.
    if (::GetLastError() != ERROR_PIPE_BUSY) return;
    if (!::WaitNamedPipeW(pipe_name, kStatusPipeBusyWaitMs)) return;
  }
}

}  // namespace qfu::ipc
