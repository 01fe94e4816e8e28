#include "worker/install_window.h"

#include <optional>

#include "store/due_time.h"

namespace qfu::worker {
namespace {

// A window boundary of the day the local time falls on, as a UTC FILETIME: the local time with
// its hour and minute replaced (its seconds and milliseconds kept), converted under the
// current time zone.
std::optional<std::uint64_t> BoundaryUtc(Clock& clock, LocalDateTime local, std::uint16_t hour, std::uint16_t minute) {
  local.hour = hour;
  local.minute = minute;
  return clock.LocalToUtc(local);
}

// The tick at which the UTC moment later than utc_now comes, counted from tick_now.
std::uint64_t TickAt(std::uint64_t tick_now, std::uint64_t utc_now, std::uint64_t moment) {
  return tick_now + (moment - utc_now) / store::kFileTimeUnitsPerMs;
}

}  // namespace

InstallWindow EvaluateInstallWindow(const wire::RequestMessage& message, Clock& clock) {
  const std::uint64_t tick_now = clock.TickCount();
  InstallWindow result;  // inside a window that never closes
  if (!message.HasFlag(wire::flags::kInstallWindow)) return result;
  // Submit refuses a window time that is no time of day; one stored before that rule would
  // never open, and counts as no window.
  const wire::DailyWindow window = message.install_window();
  if (!wire::IsValidDailyWindow(window)) return result;

  const LocalDateTime local_now = clock.LocalNow();
  const std::optional<std::uint64_t> start = BoundaryUtc(clock, local_now, window.start_hour, window.start_minute);
  std::optional<std::uint64_t> end = BoundaryUtc(clock, local_now, window.end_hour, window.end_minute);
  if (!start || !end) {
    // The window cannot be placed on the clock now. Inside would install at a time the
    // request forbids; so the request is outside with no next start, and the worker looks at
    // it again at its next wake, when the time zone may convert again.
    result.in_window = false;
    return result;
  }
  // An end not later than the start closes on the next day: past midnight, or a whole day.
  const bool wraps = *end <= *start;
  if (wraps) *end += kFileTimeUnitsPerDay;

  const std::uint64_t utc_now = clock.UtcNow();
  if (*start <= utc_now && utc_now <= *end) {
    result.window_end_tick = TickAt(tick_now, utc_now, *end);
    return result;
  }
  // The window that opened the day before and is still open.
  if (wraps && *start - kFileTimeUnitsPerDay <= utc_now && utc_now <= *end - kFileTimeUnitsPerDay) {
    result.window_end_tick = TickAt(tick_now, utc_now, *end - kFileTimeUnitsPerDay);
    return result;
  }
  result.in_window = false;
  const std::uint64_t next_start = utc_now <= *end ? *start : *start + kFileTimeUnitsPerDay;
  if (next_start > utc_now) {
    result.next_start_utc = next_start;
    result.next_start_tick = TickAt(tick_now, utc_now, next_start);
  }
  return result;
}

}  // namespace qfu::worker
