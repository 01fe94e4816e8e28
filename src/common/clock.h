#pragma once
// The clock port: the tick count, the UTC time, the local time and its conversion through the
// current time zone, and the pseudo-random draw all come through Clock, so that due ticks,
// deadlines and start times can be checked on a fake clock. The production SystemClock
// (common/system_clock.h) calls Windows.
#include <cstdint>
#include <optional>

#include "common/local_time.h"

namespace qfu {

// Largest value NextRandom returns.
inline constexpr std::uint32_t kRandomMax = 32767;

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds on the GetTickCount64 clock.
  [[nodiscard]] virtual std::uint64_t TickCount() = 0;
  // The current UTC time as a FILETIME (100-nanosecond intervals since 1 January 1601).
  [[nodiscard]] virtual std::uint64_t UtcNow() = 0;
  // The current local time.
  [[nodiscard]] virtual LocalDateTime LocalNow() = 0;
  // The UTC FILETIME of a local time under the current time zone, or nothing when it does not
  // convert.
  [[nodiscard]] virtual std::optional<std::uint64_t> LocalToUtc(const LocalDateTime& local) = 0;
  // The next value of the agent's pseudo-random generator, 0 to kRandomMax.
  [[nodiscard]] virtual std::uint32_t NextRandom() = 0;
};

}  // namespace qfu
