#include "ipc/status_notification.h"

#include <array>

#include "common/handle.h"
#include "wire/status_record.h"
#include "wire/update_status.h"

namespace qfu::ipc {

using namespace wire;

namespace {

// Write only: the agent never reads from the status pipe.
constexpr DWORD kStatusPipeAccess = GENERIC_WRITE;
// No sharing: the listener reads one whole record per connection.
constexpr DWORD kStatusPipeShareMode = 0;
// The agent runs as LocalSystem and any local process may serve the status pipe's name: the
// listener may learn who writes to it (identification) but may never act as the agent, which
// impersonation would let it do.
constexpr DWORD kStatusPipeSecurityQos = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// The one place the agent opens the status pipe. Returns the pipe, or an invalid handle with
// the reason in GetLastError (ERROR_PIPE_BUSY while every instance is taken).
UniqueFile OpenStatusPipe(const wchar_t* pipe_name) noexcept {
  return UniqueFile(::CreateFileW(pipe_name, kStatusPipeAccess, kStatusPipeShareMode, nullptr, OPEN_EXISTING,
                                  kStatusPipeSecurityQos, nullptr));
}

}  // namespace

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
    const UniqueFile pipe = OpenStatusPipe(pipe_name);
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
