#include "ipc/status_notification.h"

#include <algorithm>
#include <array>

#include "common/handle.h"
#include "common/overlapped_io.h"
#include "wire/status_record.h"
#include "wire/update_status.h"

namespace qfu::ipc {

using namespace wire;

namespace {

// Write only: the agent never reads from the status pipe.
constexpr DWORD kStatusPipeAccess = GENERIC_WRITE;
// No sharing: the listener reads one whole record per connection.
constexpr DWORD kStatusPipeShareMode = 0;
// Overlapped, so that a write the listener does not take can be given up on.
constexpr DWORD kStatusPipeIoMode = FILE_FLAG_OVERLAPPED;
// The agent runs as LocalSystem and any local process may serve the status pipe's name: the
// listener may learn who writes to it (identification) but may never act as the agent, which
// impersonation would let it do.
constexpr DWORD kStatusPipeSecurityQos = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// The one place the agent opens the status pipe. Returns the pipe, or an invalid handle with
// the reason in GetLastError (ERROR_PIPE_BUSY while every instance is taken).
UniqueFile OpenStatusPipe(const wchar_t* pipe_name) noexcept {
  return UniqueFile(::CreateFileW(pipe_name, kStatusPipeAccess, kStatusPipeShareMode, nullptr, OPEN_EXISTING,
                                  kStatusPipeIoMode | kStatusPipeSecurityQos, nullptr));
}

// Writes the record as one message and waits up to kStatusWriteTimeoutMs for the listener to
// take it. A write still pending then is cancelled, and the cancellation awaited, so that
// neither the OVERLAPPED nor the record is in use after the call.
void WriteRecord(HANDLE pipe, Bytes record) noexcept {
  const UniqueHandle written(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!written) return;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = written.get();
  const BOOL started =
      ::WriteFile(pipe, record.data(), static_cast<DWORD>(record.size()), nullptr, &overlapped);
  // A listener that accepted the connection but does not read has the record withdrawn.
  DWORD transferred = 0;
  (void)FinishOverlappedIo(pipe, overlapped, started, kStatusWriteTimeoutMs, transferred);
}

}  // namespace

void BuildStatusNotification(Bytes message, wire::UpdateStatus status, std::uint32_t detail,
                             MutableBytes notification) noexcept {
  StatusRecord record(notification);
  wire::PrepareStatusRecord(message, record);
  record.set_update_status(status);
  record.set_system_error_code(detail);
}

void NotifyStatus(const wchar_t* pipe_name, Bytes message, wire::UpdateStatus status, std::uint32_t detail,
                  DWORD busy_wait_ms) noexcept {
  // A new request is not announced, only its later changes.
  if (status == wire::kQueued) return;
  std::array<std::uint8_t, kStatusRecordSize> notification{};
  BuildStatusNotification(message, status, detail, notification);

  // One deadline for the whole wait: another client may take each instance that frees up
  // before we do, as often as it likes.
  const ULONGLONG deadline = ::GetTickCount64() + busy_wait_ms;
  for (;;) {
    const UniqueFile pipe = OpenStatusPipe(pipe_name);
    if (pipe) {
      WriteRecord(pipe.get(), notification);
      return;
    }
    // Every instance is taken: wait for one to free up, then race for it again. Anything
    // else (nobody serves the pipe, the time is used up) drops the notification.
    if (::GetLastError() != ERROR_PIPE_BUSY) return;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return;
    // What is left is never 0 (the server's default wait) nor NMPWAIT_WAIT_FOREVER.
    const auto left = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, NMPWAIT_WAIT_FOREVER - 1));
    if (!::WaitNamedPipeW(pipe_name, left)) return;
  }
}

}  // namespace qfu::ipc
