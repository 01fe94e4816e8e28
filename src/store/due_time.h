#pragma once
// When an accepted request becomes due: its deadline tick, its due tick from a start time and
// a random delay, and the moment its request timer fires. Pure arithmetic on tick counts
// (milliseconds on the GetTickCount64 clock) and UTC FILETIMEs, all in 64 bits.
#include <cstdint>
#include <optional>

#include "common/clock.h"
#include "wire/message.h"

namespace qfu::store {

inline constexpr std::uint64_t kFileTimeUnitsPerMs = 10000;
inline constexpr std::uint64_t kFileTimeUnitsPerMinute = 600000000;
inline constexpr std::uint64_t kMsPerMinute = 60000;

// True when a random delay applies: a bound is not 0 and the flags lack 0x4.
[[nodiscard]] bool HasRandomDelay(wire::RequestFlags request_flags, std::uint32_t minimum,
                                  std::uint32_t maximum) noexcept;

// The random delay in minutes: minimum + draw modulo |maximum - minimum|, or the minimum alone
// when the two bounds are equal. draw is a value of the agent's generator (0 to 32767).
[[nodiscard]] std::uint64_t RandomDelayMinutes(std::uint32_t minimum, std::uint32_t maximum,
                                               std::uint32_t draw) noexcept;

// The deadline tick: the deadline counts deadline_minutes from the acceptance time (the stored
// one, or utc_now for a new request, stored_acceptance 0); a deadline already past is now.
[[nodiscard]] std::uint64_t DeadlineTick(std::uint64_t tick_now, std::uint64_t utc_now,
                                         std::uint64_t stored_acceptance,
                                         std::uint32_t deadline_minutes) noexcept;

struct DueTime {
  std::uint64_t due_tick = 0;  // 0: due at once
  // When the request timer fires, as a UTC FILETIME; 0 for no timer. Always a moment, never an
  // interval: the worker arms the timer at its next wake, which may come later.
  std::uint64_t timer_due = 0;
};

// The due tick and timer moment of a request accepted at tick_now / utc_now: a start time later
// than now (start_utc, when the request has one) makes it due then; a random delay (in minutes,
// when one applies) is added after that, or after now.
[[nodiscard]] DueTime ComputeDueTime(std::uint64_t tick_now, std::uint64_t utc_now,
                                     std::optional<std::uint64_t> start_utc,
                                     std::optional<std::uint64_t> delay_minutes) noexcept;

}  // namespace qfu::store
