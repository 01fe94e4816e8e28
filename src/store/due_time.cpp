#include "store/due_time.h"

#include "wire/message.h"

namespace qfu::store {

using std::chrono::duration_cast;

bool HasRandomDelay(wire::RequestFlags request_flags, std::uint32_t minimum, std::uint32_t maximum) noexcept {
  return (minimum != 0 || maximum != 0) && !wire::Any(request_flags & wire::flags::kDownloadWhenDisconnected);
}

Minutes RandomDelay(std::uint32_t minimum, std::uint32_t maximum, std::uint32_t draw) noexcept {
  // The spread is the distance between the bounds whichever is larger; equal bounds leave no
  // spread to draw from, and the delay is the minimum itself.
  const std::uint64_t spread = maximum > minimum ? maximum - minimum : minimum - maximum;
  if (spread == 0) return Minutes{minimum};
  return Minutes{static_cast<std::uint64_t>(minimum) + draw % spread};
}

Milliseconds DeadlineTick(Milliseconds tick_now, FileTimeUnits utc_now, FileTimeUnits stored_acceptance,
                          std::uint32_t deadline_minutes) noexcept {
  const FileTimeUnits accepted = stored_acceptance != FileTimeUnits::zero() ? stored_acceptance : utc_now;
  const FileTimeUnits deadline = accepted + Minutes{deadline_minutes};
  return deadline > utc_now ? tick_now + duration_cast<Milliseconds>(deadline - utc_now) : tick_now;
}

DueTime ComputeDueTime(Milliseconds tick_now, FileTimeUnits utc_now, std::optional<FileTimeUnits> start_utc,
                       std::optional<Minutes> delay) noexcept {
  DueTime due;
  const bool starts_later = start_utc.has_value() && *start_utc > utc_now;
  if (starts_later) {
    due.due_tick = tick_now + duration_cast<Milliseconds>(*start_utc - utc_now);
    due.timer_due = *start_utc;
  }
  if (delay.has_value()) {
    // After the start time, or from now. At most 4294967295 + 32767 minutes: no wrap in 64 bits.
    due.due_tick = (due.due_tick != Milliseconds::zero() ? due.due_tick : tick_now) + *delay;
    if (starts_later || *delay != Minutes::zero())
      due.timer_due = (starts_later ? *start_utc : utc_now) + *delay;
  }
  return due;
}

}  // namespace qfu::store
