#pragma once
// The clock port: the tick count, the UTC time, the local time and its conversion through the
// current time zone, and the pseudo-random draw all come through Clock, so that due ticks,
// deadlines and start times can be checked on a fake clock. The production SystemClock
// (common/system_clock.h) calls Windows.
#include <chrono>
#include <cstdint>
#include <optional>
#include <ratio>

#include "common/local_time.h"

namespace qfu {

// The agent's units of time, each its own type so that the compiler does the converting: a
// millisecond count turns into 100-ns units by itself (exactly), while the way back is an
// explicit std::chrono::duration_cast, which truncates. All three are unsigned 64-bit counts
// and wrap as such.
//
// Milliseconds: moments on the GetTickCount64 clock (ticks) and intervals between them.
using Milliseconds = std::chrono::duration<std::uint64_t, std::milli>;
// 100-nanosecond units: FILETIME values (UTC, counted from 1 January 1601) and intervals
// between them.
using FileTimeUnits = std::chrono::duration<std::uint64_t, std::ratio<1, 10'000'000>>;
// Whole minutes, as a request gives its deadline, random delay and postpone interval.
using Minutes = std::chrono::duration<std::uint64_t, std::ratio<60>>;

// Largest value NextRandom returns.
inline constexpr std::uint32_t kRandomMax = 32767;

class Clock {
 public:
  virtual ~Clock() = default;
  // The GetTickCount64 clock's present tick.
  [[nodiscard]] virtual Milliseconds TickCount() = 0;
  // The current UTC time as a FILETIME value.
  [[nodiscard]] virtual FileTimeUnits UtcNow() = 0;
  // The current local time.
  [[nodiscard]] virtual LocalDateTime LocalNow() = 0;
  // The UTC FILETIME of a local time under the current time zone, or nothing when it does not
  // convert.
  [[nodiscard]] virtual std::optional<FileTimeUnits> LocalToUtc(const LocalDateTime& local) = 0;
  // The next value of the agent's pseudo-random generator, 0 to kRandomMax.
  [[nodiscard]] virtual std::uint32_t NextRandom() = 0;
};

}  // namespace qfu
