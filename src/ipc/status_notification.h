#pragma once
// Status notifications: one 159-byte status record written to the status pipe, served by a
// client of the product, whenever a request changes state. Best effort: with nobody serving
// the pipe, or a listener that keeps it busy or does not read, the notification is dropped.
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

#include "store/store_ports.h"
#include "wire/message.h"
#include "wire/pipes.h"

namespace qfu::ipc {

// How long one notification may wait, in all, for a free instance of a busy status pipe.
inline constexpr DWORD kStatusPipeBusyWaitMs = 20000;
// How long the record may take to be accepted by the listener once the pipe is open.
inline constexpr DWORD kStatusWriteTimeoutMs = 2000;

// Fills the 159-byte notification for a status change of the request in message: its
// identity, the status and detail code, result code 0 and a zero SoftwareVersion.
void BuildStatusNotification(wire::Bytes message, wire::UpdateStatus status, std::uint32_t detail,
                             wire::MutableBytes notification) noexcept;

// Sends the notification for the status change to the pipe named pipe_name (kStatusPipeName
// in production). Queued (2) is never announced. While every instance is busy it waits for
// one to free up, busy_wait_ms in all, then drops the notification; the write itself is given
// kStatusWriteTimeoutMs. Any other failure drops the notification. Nothing is reported.
void NotifyStatus(const wchar_t* pipe_name, wire::Bytes message, wire::UpdateStatus status,
                  std::uint32_t detail, DWORD busy_wait_ms = kStatusPipeBusyWaitMs) noexcept;

// The store's status reporter: notifies the status pipe of the given name.
class StatusPipeReporter final : public store::StatusReporter {
 public:
  explicit StatusPipeReporter(std::wstring pipe_name = wire::kStatusPipeName)
      : pipe_name_(std::move(pipe_name)) {}
  void StatusChanged(wire::Bytes message, wire::UpdateStatus status, std::uint32_t detail) noexcept override {
    NotifyStatus(pipe_name_.c_str(), message, status, detail);
  }
  [[nodiscard]] const std::wstring& pipe_name() const noexcept { return pipe_name_; }

 private:
  std::wstring pipe_name_;
};

}  // namespace qfu::ipc
