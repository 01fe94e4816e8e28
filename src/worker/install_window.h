#pragma once
// The daily install window: a request with the install-window flag may be installed only
// between its window's start and end, given as local wall-clock hours and minutes. The
// evaluation compares UTC moments, so the window follows the local clock of the day it is
// evaluated on, daylight-saving offset included.
#include <cstdint>

#include "common/clock.h"
#include "wire/message.h"

namespace qfu::worker {

// One day in FILETIME units (100 ns).
inline constexpr std::uint64_t kFileTimeUnitsPerDay = 864000000000ull;

// Where a request stands against its daily install window at one evaluation.
struct InstallWindow {
  bool in_window = true;
  std::uint64_t window_end_tick = 0;  // GetTickCount64 ms at which the window closes; 0: none
  std::uint64_t next_start_tick = 0;  // outside the window: when the next one opens; 0: unknown
  std::uint64_t next_start_utc = 0;   // the same moment as a UTC FILETIME; 0: unknown
};

// Evaluates the window of message at the clock's present moment. Without the install-window
// flag the request is inside a window that never closes. Both boundaries count as inside and
// carry the seconds and milliseconds of the present moment; an end not later than the start
// wraps past midnight (start equal to end: the whole day).
[[nodiscard]] InstallWindow EvaluateInstallWindow(const wire::RequestMessage& message, Clock& clock);

}  // namespace qfu::worker
