#pragma once
// The agent's entries in the Application event log, source QFUpdate: the failed start, and the
// outcome of each request. qfupdate.exe carries their message table and is registered as the
// source's EventMessageFile, so that readers of the log show the texts.
#include <windows.h>

#include <cstdint>
#include <span>

#include "service/service_rules.h"
#include "store/store_ports.h"
#include "wire/message.h"

namespace qfu::service {

// Event identifier of the "cannot start" error entry (error severity, facility 2).
inline constexpr unsigned long kServiceErrorEventId = event_id::kServiceStartFailed;

// Writes "<function> failed with <error>" to the Application event log as an error of the
// source QFUpdate. The caller passes the error it took right after the failing call: the
// event log's own calls, and whatever ran since, change the last error.
void ReportServiceError(const wchar_t* function_name, unsigned long error);

// Where the outcome entries go: the Application log in production, a recorder in tests.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Writes one entry of the source QFUpdate with that event type (EVENTLOG_ERROR_TYPE, ...),
  // identifier and insertion strings.
  virtual void WriteEvent(WORD type, DWORD event_id, std::span<const wchar_t* const> strings) noexcept = 0;
};

// ReportEventW on the Application log.
class ApplicationLogSink final : public EventSink {
 public:
  void WriteEvent(WORD type, DWORD event_id, std::span<const wchar_t* const> strings) noexcept override;
};

// The store's status reporter in the service: tells next of every change, then writes the
// outcome entry of the change, if it has one (OutcomeEventId), to sink with four insertion
// strings: the request's key name, the status name, the system error code (decimal, or
// hexadecimal with the top bit set) and that code's text.
class OutcomeEventReporter final : public store::StatusReporter {
 public:
  OutcomeEventReporter(store::StatusReporter& next, EventSink& sink) noexcept : next_(next), sink_(sink) {}
  void StatusChanged(wire::Bytes message, wire::UpdateStatus status, std::uint32_t detail) noexcept override;

 private:
  store::StatusReporter& next_;
  EventSink& sink_;
};

// Registers module_path as the EventMessageFile of the source QFUpdate in the Application log,
// with the types it writes (error, warning, information). Returns the Win32 error.
[[nodiscard]] DWORD RegisterEventMessageFile(const wchar_t* module_path);

}  // namespace qfu::service
