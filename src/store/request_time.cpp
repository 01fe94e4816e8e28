#include "store/request_time.h"

#include <strsafe.h>

#include <optional>

#include "common/mutex_guard.h"
#include "store/due_time.h"
#include "store/request_key.h"
#include "store/request_key_access.h"
#include "store/request_record.h"
#include "store/status_record.h"
#include "store/store_operations.h"
#include "store/update_status.h"

namespace qfu::store {
namespace {

// The request timer's completion routine: it runs on the thread that armed the timer, in an
// alertable wait, and only wakes the queue worker, which decides by the due tick.
VOID CALLBACK SignalUpdateEvent(LPVOID update_event, DWORD, DWORD) { ::SetEvent(static_cast<HANDLE>(update_event)); }

// The start time of the message as a UTC FILETIME, or nothing when its fields do not form a
// date and time (the request is then due at once) or do not convert.
std::optional<std::uint64_t> StartTimeUtc(Clock& clock, const ipc::RequestMessage& request) {
  LocalDateTime start;
  start.year = request.U16(ipc::kStartYearAt);
  start.month = request.U16(ipc::kStartMonthAt);
  start.day = request.U16(ipc::kStartDayAt);
  start.hour = request.U16(ipc::kStartHourAt);
  start.minute = request.U16(ipc::kStartMinuteAt);
  if (!IsValidLocalDateTime(start)) return std::nullopt;
  return clock.LocalToUtc(start);
}

// Arms the record's request timer once, at timer_due (a UTC moment when positive, an interval
// from now when negative). Failures are left to the periodic wake.
void ArmRequestTimer(RequestRecord& record, std::int64_t timer_due, HANDLE update_event) {
  if (!record.request_timer) {
    record.request_timer.reset(::CreateWaitableTimerW(nullptr, FALSE, nullptr));  // unnamed, auto-reset
    if (!record.request_timer) return;
  }
  LARGE_INTEGER due = {};
  due.QuadPart = timer_due;
  // No period; resume-from-suspend so that a start time passed during sleep still wakes us.
  (void)::SetWaitableTimer(record.request_timer.get(), &due, 0, SignalUpdateEvent, update_event, TRUE);
}

// Formats one part (date or time) for the system default locale, or for the user default
// when that is refused (as some systems do), so that the text is never empty.
template <typename Format>
void FormatPart(Format&& format, wchar_t* part) {
  if (format(kSystemDefaultLocale, part) == 0) (void)format(LOCALE_NAME_USER_DEFAULT, part);
}

}  // namespace

HRESULT FormatLocalDateTime(const SYSTEMTIME* local_time, wchar_t* buffer, std::size_t units) {
  wchar_t date[kDateTimePartCapacity] = {};
  wchar_t time[kDateTimePartCapacity] = {};
  FormatPart(
      [&](const wchar_t* locale, wchar_t* out) {
        // Flags 0 and no picture: the locale's short date.
        return ::GetDateFormatEx(locale, 0, local_time, nullptr, out, kDateTimePartCapacity, nullptr);
      },
      date);
  FormatPart(
      [&](const wchar_t* locale, wchar_t* out) {
        return ::GetTimeFormatEx(locale, TIME_NOSECONDS, local_time, nullptr, out, kDateTimePartCapacity);
      },
      time);
  return ::StringCchPrintfW(buffer, units, L"%ls %ls", date, time);
}

DWORD RecordRequestTime(ProcessObjects& objects, ipc::Bytes request_name_field, std::uint32_t instance_number,
                        std::uint64_t request_time) {
  // The text is that of the moment of writing, not of request_time; NUL-padded to 64 units.
  wchar_t stamp[kTimeStampUnits] = {};
  const SYSTEMTIME now = ToSystemTime(objects.clock->LocalNow());
  (void)FormatLocalDateTime(&now, stamp, kTimeStampUnits);
  return AccessRequestKey(objects, request_name_field, instance_number, KeyAccess::kWrite, [&](HKEY key) {
    return SetValue(key, value::kRequestTime, REG_QWORD, &request_time, sizeof(request_time)) |
           SetValue(key, value::kTimeStamp, REG_SZ, stamp, kTimeStampBytes);
  });
}

DWORD ReadRequestTime(ProcessObjects& objects, ipc::Bytes request_name_field, std::uint32_t instance_number,
                      std::uint64_t* request_time, wchar_t* text, DWORD text_size) {
  if (request_time != nullptr) *request_time = 0;
  if (text != nullptr && text_size >= sizeof(wchar_t)) text[0] = L'\0';
  return AccessRequestKey(objects, request_name_field, instance_number, KeyAccess::kRead, [&](HKEY key) {
    DWORD read = ERROR_SUCCESS;
    if (request_time != nullptr) {
      std::uint64_t stored = 0;
      const DWORD error = QueryValue(key, value::kRequestTime, &stored, sizeof(stored));
      if (error == ERROR_SUCCESS) *request_time = stored;
      read |= error;
    }
    if (text != nullptr) read |= QueryStringValue(key, value::kTimeStamp, text, text_size);
    return read;
  });
}

std::uint32_t EnqueueRequest(ProcessObjects& objects, ipc::Bytes message, std::uint64_t stored_acceptance,
                             ipc::StatusRecord record) {
  PrepareStatusRecord(message, record);
  const ipc::RequestMessage request(message);
  // A name that cannot key a request would be listed with nothing stored for it.
  if (!IsStorableRequestName(request.request_name_field())) return ipc::result::kCannotCarryOut;
  RequestRecordPtr entry = RequestRecord::Create(message);
  if (!entry) return ipc::result::kCannotCarryOut;

  Clock& clock = *objects.clock;
  const std::uint64_t tick_now = clock.TickCount();
  const std::uint64_t utc_now = clock.UtcNow();
  entry->deadline_tick = DeadlineTick(tick_now, utc_now, stored_acceptance, request.U32(ipc::kDeadlineAt));

  std::optional<std::uint64_t> start_utc;
  if (request.HasFlag(ipc::flags::kStartTime)) start_utc = StartTimeUtc(clock, request);
  std::optional<std::uint64_t> delay_minutes;
  const std::uint32_t delay_min = request.U32(ipc::kRandomDelayMinAt);
  const std::uint32_t delay_max = request.U32(ipc::kRandomDelayMaxAt);
  if (HasRandomDelay(request.flags(), delay_min, delay_max)) {
    delay_minutes = RandomDelayMinutes(delay_min, delay_max, clock.NextRandom());
  }
  const DueTime due = ComputeDueTime(tick_now, utc_now, start_utc, delay_minutes);
  entry->due_tick = due.due_tick;
  if (due.timer_due != 0) ArmRequestTimer(*entry, due.timer_due, objects.update_event.get());

  MutexGuard queue(objects.queue_mutex.get());
  if (!queue.acquired()) return ipc::result::kCannotCarryOut;
  objects.requests.PushBack(std::move(entry));
  record.set_update_status(kQueued);
  record.set_system_error_code(0);
  // Written while the queue mutex is held and the record is listed: the worker, which takes
  // records only under that mutex, never sees one whose key is not written yet. Their results
  // do not change the outcome.
  const bool is_new = stored_acceptance == 0;
  (void)SetRequestStatus(objects, message, kQueued, 0, is_new);
  if (is_new) (void)RecordRequestTime(objects, request.request_name_field(), record.instance_number(), utc_now);
  queue.Release();
  ::SetEvent(objects.update_event.get());
  return ipc::result::kDone;
}

}  // namespace qfu::store
