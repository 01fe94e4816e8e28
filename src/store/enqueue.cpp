#include "store/enqueue.h"

#include <optional>

#include "common/handle.h"
#include "common/mutex_guard.h"
#include "store/due_time.h"
#include "store/registry_value.h"
#include "store/request_key.h"
#include "store/request_record.h"
#include "store/request_time.h"
#include "store/store_operations.h"
#include "wire/status_record.h"
#include "wire/update_status.h"

namespace qfu::store {
namespace {

// The start time of the message as a UTC FILETIME, or nothing when its fields do not form a
// date and time (the request is then due at once) or do not convert.
std::optional<FileTimeUnits> StartTimeUtc(Clock& clock, const wire::RequestMessage& request) {
  const LocalDateTime start = request.start_time();
  if (!IsValidLocalDateTime(start)) return std::nullopt;
  return clock.LocalToUtc(start);
}

// A new record for the message with its deadline tick (from stored_acceptance, or from now
// when that is 0), its due tick and the moment of its request timer; null when the name cannot
// key a request (it would be listed with nothing stored for it) or the record cannot be made.
// utc_now receives the moment taken as now.
RequestRecordPtr MakeRecord(Clock& clock, wire::Bytes message, FileTimeUnits stored_acceptance,
                            FileTimeUnits& utc_now) {
  const wire::RequestMessage request(message);
  if (!IsStorableRequestName(request.request_name_field())) return nullptr;
  RequestRecordPtr entry = RequestRecord::Create(message);
  if (!entry) return nullptr;
  const Milliseconds tick_now = clock.TickCount();
  utc_now = clock.UtcNow();
  entry->deadline_tick = DeadlineTick(tick_now, utc_now, stored_acceptance, request.deadline_minutes());

  std::optional<FileTimeUnits> start_utc;
  if (request.HasFlag(wire::flags::kStartTime)) start_utc = StartTimeUtc(clock, request);
  std::optional<Minutes> delay;
  const std::uint32_t delay_min = request.random_delay_min_minutes();
  const std::uint32_t delay_max = request.random_delay_max_minutes();
  if (HasRandomDelay(request.flags(), delay_min, delay_max)) {
    delay = RandomDelay(delay_min, delay_max, clock.NextRandom());
  }
  const DueTime due = ComputeDueTime(tick_now, utc_now, start_utc, delay);
  entry->due_tick = due.due_tick;
  // Only the moment: the queue worker arms the timer on its own thread, where its completion
  // routine can run. This thread (a pipe connection, or start-up) never waits alertably.
  entry->timer_due = due.timer_due;
  return entry;
}

}  // namespace

wire::ResultCode EnqueueRequest(ProcessObjects& objects, wire::Bytes message, FileTimeUnits stored_acceptance,
                                wire::StatusRecord record) {
  wire::PrepareStatusRecord(message, record);
  const wire::RequestMessage request(message);
  FileTimeUnits utc_now{};
  RequestRecordPtr entry = MakeRecord(*objects.clock, message, stored_acceptance, utc_now);
  if (!entry) return wire::result::kCannotCarryOut;

  MutexGuard queue(objects.queue_mutex.get());
  if (!queue.acquired()) {
    record.set_system_error_code(queue.error());
    return wire::result::kCannotCarryOut;
  }
  // Held across the writes below, which take it again (a mutex lets its owner do so): a
  // registry mutex that cannot be taken leaves the request unlisted with nothing written,
  // rather than listed and reported done with no key behind it.
  MutexGuard registry(objects.registry_mutex.get());
  if (!registry.acquired()) {
    record.set_system_error_code(registry.error());
    return wire::result::kCannotCarryOut;
  }
  objects.requests.PushBack(std::move(entry));
  record.set_update_status(wire::kQueued);
  record.set_system_error_code(0);
  // Written while the queue mutex is held and the record is listed: the worker, which takes
  // records only under that mutex, never sees one whose key is not written yet. Their results
  // do not change the outcome.
  const bool is_new = stored_acceptance == FileTimeUnits::zero();
  (void)SetRequestStatus(objects, message, wire::kQueued, 0, is_new);
  if (is_new)
    (void)RecordRequestTime(objects, request.request_name_field(), record.instance_number(), utc_now);
  registry.Release();
  queue.Release();
  ::SetEvent(objects.update_event.get());
  return wire::result::kDone;
}

std::size_t EnqueueStoredRequests(ProcessObjects& objects, std::span<StoredMessage> requests) {
  MutexGuard queue(objects.queue_mutex.get());
  if (!queue.acquired()) return 0;
  MutexGuard registry(objects.registry_mutex.get());
  if (!registry.acquired()) return 0;
  std::size_t listed = 0;
  for (StoredMessage& stored : requests) {
    FileTimeUnits utc_now{};
    RequestRecordPtr entry = MakeRecord(*objects.clock, stored.message.span(), stored.request_time, utc_now);
    if (!entry) continue;
    const wire::RequestMessage request(entry->message());
    const std::wstring path =
        BuildRequestKeyPath(kServiceKeyPath, request.request_name_field(), request.instance_number());
    UniqueHkey key;
    // As SetRequestStatus writes Queued (no first write, no final status: nothing pruned), with
    // the registry mutex already held; a failed write leaves the request listed, as there.
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                          nullptr) == ERROR_SUCCESS) {
      const DWORD queued = static_cast<DWORD>(wire::kQueued);
      const DWORD no_error = 0;
      (void)SetValue(key.get(), value::kUpdateStatus, REG_DWORD, &queued, sizeof(queued));
      (void)SetValue(key.get(), value::kSystemErrorCode, REG_DWORD, &no_error, sizeof(no_error));
      key.reset();
    }
    if (objects.status_reporter != nullptr)
      objects.status_reporter->StatusChanged(request.bytes(), wire::kQueued, 0);
    objects.requests.PushBack(std::move(entry));
    ++listed;
  }
  registry.Release();
  queue.Release();
  if (listed != 0) ::SetEvent(objects.update_event.get());
  return listed;
}

}  // namespace qfu::store
