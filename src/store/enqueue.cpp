#include "store/enqueue.h"

#include <optional>

#include "common/mutex_guard.h"
#include "store/due_time.h"
#include "store/request_record.h"
#include "store/request_time.h"
#include "store/store_operations.h"
#include "wire/status_record.h"
#include "wire/update_status.h"

namespace qfu::store {
namespace {

// The start time of the message as a UTC FILETIME, or nothing when its fields do not form a
// date and time (the request is then due at once) or do not convert.
std::optional<std::uint64_t> StartTimeUtc(Clock& clock, const wire::RequestMessage& request) {
  const LocalDateTime start = request.start_time();
  if (!IsValidLocalDateTime(start)) return std::nullopt;
  return clock.LocalToUtc(start);
}

}  // namespace

wire::ResultCode EnqueueRequest(ProcessObjects& objects, wire::Bytes message, std::uint64_t stored_acceptance,
                                wire::StatusRecord record) {
  wire::PrepareStatusRecord(message, record);
  const wire::RequestMessage request(message);
  // A name that cannot key a request would be listed with nothing stored for it.
  if (!IsStorableRequestName(request.request_name_field())) return wire::result::kCannotCarryOut;
  RequestRecordPtr entry = RequestRecord::Create(message);
  if (!entry) return wire::result::kCannotCarryOut;

  Clock& clock = *objects.clock;
  const std::uint64_t tick_now = clock.TickCount();
  const std::uint64_t utc_now = clock.UtcNow();
  entry->deadline_tick = DeadlineTick(tick_now, utc_now, stored_acceptance, request.deadline_minutes());

  std::optional<std::uint64_t> start_utc;
  if (request.HasFlag(wire::flags::kStartTime)) start_utc = StartTimeUtc(clock, request);
  std::optional<std::uint64_t> delay_minutes;
  const std::uint32_t delay_min = request.random_delay_min_minutes();
  const std::uint32_t delay_max = request.random_delay_max_minutes();
  if (HasRandomDelay(request.flags(), delay_min, delay_max)) {
    delay_minutes = RandomDelayMinutes(delay_min, delay_max, clock.NextRandom());
  }
  const DueTime due = ComputeDueTime(tick_now, utc_now, start_utc, delay_minutes);
  entry->due_tick = due.due_tick;
  // Only the moment: the queue worker arms the timer on its own thread, where its completion
  // routine can run. This thread (a pipe connection, or start-up) never waits alertably.
  entry->timer_due = due.timer_due;

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
  const bool is_new = stored_acceptance == 0;
  (void)SetRequestStatus(objects, message, wire::kQueued, 0, is_new);
  if (is_new)
    (void)RecordRequestTime(objects, request.request_name_field(), record.instance_number(), utc_now);
  registry.Release();
  queue.Release();
  ::SetEvent(objects.update_event.get());
  return wire::result::kDone;
}

}  // namespace qfu::store
