#include "store/due_time.h"

#include "wire/message.h"

namespace qfu::store {

bool HasRandomDelay(wire::RequestFlags request_flags, std::uint32_t minimum, std::uint32_t maximum) noexcept {
  return (minimum != 0 || maximum != 0) && !wire::Any(request_flags & wire::flags::kDownloadWhenDisconnected);
}

std::uint64_t RandomDelayMinutes(std::uint32_t minimum, std::uint32_t maximum, std::uint32_t draw) noexcept {
  // The spread is the distance between the bounds whichever is larger; equal bounds leave no
  // spread to draw from, and the delay is the minimum itself.
  const std::uint64_t spread = maximum > minimum ? maximum - minimum : minimum - maximum;
  if (spread == 0) return minimum;
  return static_cast<std::uint64_t>(minimum) + draw % spread;
}

std::uint64_t DeadlineTick(std::uint64_t tick_now, std::uint64_t utc_now, std::uint64_t stored_acceptance,
                           std::uint32_t deadline_minutes) noexcept {
  const std::uint64_t accepted = stored_acceptance != 0 ? stored_acceptance : utc_now;
  const std::uint64_t deadline = accepted + deadline_minutes * kFileTimeUnitsPerMinute;
  return deadline > utc_now ? tick_now + (deadline - utc_now) / kFileTimeUnitsPerMs : tick_now;
}

DueTime ComputeDueTime(std::uint64_t tick_now, std::uint64_t utc_now, std::optional<std::uint64_t> start_utc,
                       std::optional<std::uint64_t> delay_minutes) noexcept {
  DueTime due;
  const bool starts_later = start_utc.has_value() && *start_utc > utc_now;
  if (starts_later) {
    due.due_tick = tick_now + (*start_utc - utc_now) / kFileTimeUnitsPerMs;
    due.timer_due = *start_utc;
  }
  if (delay_minutes.has_value()) {
    // After the start time, or from now. At most 4294967295 + 32767 minutes: no wrap in 64 bits.
    due.due_tick = (due.due_tick != 0 ? due.due_tick : tick_now) + *delay_minutes * kMsPerMinute;
    if (starts_later || *delay_minutes != 0) {
      due.timer_due = (starts_later ? *start_utc : utc_now) + *delay_minutes * kFileTimeUnitsPerMinute;
    }
  }
  return due;
}

}  // namespace qfu::store
