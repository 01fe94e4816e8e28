#pragma once
// When an accepted request becomes due: its deadline tick, its due tick from a start time and
// a random delay, and the moment its request timer fires. Pure arithmetic on ticks of the
// GetTickCount64 clock and UTC FILETIME values, all in 64 bits.
#include <cstdint>
#include <optional>

#include "common/clock.h"
#include "wire/message.h"

namespace qfu::store {

// True when a random delay applies: a bound is not 0 and the flags lack 0x4.
[[nodiscard]] bool HasRandomDelay(wire::RequestFlags request_flags, std::uint32_t minimum,
                                  std::uint32_t maximum) noexcept;

// The random delay: minimum + draw modulo |maximum - minimum| minutes, or the minimum alone
// when the two bounds are equal. draw is a value of the agent's generator (0 to 32767).
[[nodiscard]] Minutes RandomDelay(std::uint32_t minimum, std::uint32_t maximum, std::uint32_t draw) noexcept;

// The deadline tick: the deadline counts deadline_minutes from the acceptance time (the stored
// one, or utc_now for a new request, stored_acceptance 0); a deadline already past is now.
[[nodiscard]] Milliseconds DeadlineTick(Milliseconds tick_now, FileTimeUnits utc_now,
                                        FileTimeUnits stored_acceptance,
                                        std::uint32_t deadline_minutes) noexcept;

struct DueTime {
  Milliseconds due_tick{};  // 0: due at once
  // When the request timer fires, as a UTC FILETIME; 0 for no timer. Always a moment, never an
  // interval: the worker arms the timer at its next wake, which may come later.
  FileTimeUnits timer_due{};
};

// The due tick and timer moment of a request accepted at tick_now / utc_now: a start time later
// than now (start_utc, when the request has one) makes it due then; a random delay (when one
// applies) is added after that, or after now.
[[nodiscard]] DueTime ComputeDueTime(Milliseconds tick_now, FileTimeUnits utc_now,
                                     std::optional<FileTimeUnits> start_utc,
                                     std::optional<Minutes> delay) noexcept;

}  // namespace qfu::store
