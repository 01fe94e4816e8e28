#include "worker/install_window.h"

#include <optional>

namespace qfu::worker {
namespace {

// A window boundary on the local calendar: the date days after the local time's own, at hour
// and minute (the local time's seconds and milliseconds kept), converted under the time zone.
std::optional<FileTimeUnits> BoundaryUtc(Clock& clock, const LocalDateTime& local, int days,
                                         std::uint16_t hour, std::uint16_t minute) {
  LocalDateTime boundary = AddDays(local, days);
  boundary.hour = hour;
  boundary.minute = minute;
  return clock.LocalToUtc(boundary);
}

// The tick at which the UTC moment later than utc_now comes, counted from tick_now.
Milliseconds TickAt(Milliseconds tick_now, FileTimeUnits utc_now, FileTimeUnits moment) {
  return tick_now + std::chrono::duration_cast<Milliseconds>(moment - utc_now);
}

}  // namespace

InstallWindow EvaluateInstallWindow(const wire::RequestMessage& message, Clock& clock) {
  const Milliseconds tick_now = clock.TickCount();
  InstallWindow result;  // inside a window that never closes
  if (!message.HasFlag(wire::flags::kInstallWindow)) return result;
  // Submit refuses a window time that is no time of day; one stored before that rule would
  // never open, and counts as no window.
  const wire::DailyWindow window = message.install_window();
  if (!wire::IsValidDailyWindow(window)) return result;

  // Outside until a window is found: a boundary that cannot be placed on the clock now leaves
  // no next start, and the worker looks at the request again at its next wake, when the time
  // zone may convert again. Inside would install at a time the request forbids.
  result.in_window = false;
  const LocalDateTime local_now = clock.LocalNow();
  const FileTimeUnits utc_now = clock.UtcNow();
  // An end not later than the start closes on the next day: past midnight, or a whole day.
  const bool wraps = window.end_hour * 60 + window.end_minute <= window.start_hour * 60 + window.start_minute;
  // The window that opened the day before and may still be open, then today's.
  for (const int day : {-1, 0}) {
    if (day < 0 && !wraps) continue;
    const std::optional<FileTimeUnits> start =
        BoundaryUtc(clock, local_now, day, window.start_hour, window.start_minute);
    const std::optional<FileTimeUnits> end =
        BoundaryUtc(clock, local_now, wraps ? day + 1 : day, window.end_hour, window.end_minute);
    if (!start || !end) return result;
    if (*start <= utc_now && utc_now <= *end && *end - utc_now >= kMinimumWindowLeft) {
      result.in_window = true;
      result.window_end_tick = TickAt(tick_now, utc_now, *end);
      return result;
    }
  }
  // The next opening: today's when it is still to come, else tomorrow's.
  for (const int day : {0, 1}) {
    const std::optional<FileTimeUnits> start =
        BoundaryUtc(clock, local_now, day, window.start_hour, window.start_minute);
    if (!start) return result;
    if (*start > utc_now) {
      result.next_start_utc = *start;
      result.next_start_tick = TickAt(tick_now, utc_now, *start);
      return result;
    }
  }
  return result;
}

}  // namespace qfu::worker
