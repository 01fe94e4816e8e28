#pragma once
// The daily install window: a request with the install-window flag may be installed only
// between its window's start and end, given as local wall-clock hours and minutes. Each
// boundary is a local date and time converted to UTC on its own, so the window follows the
// local clock, daylight-saving changes included.
#include <cstdint>

#include "common/clock.h"
#include "wire/message.h"

namespace qfu::worker {

// Where a request stands against its daily install window at one evaluation.
struct InstallWindow {
  bool in_window = true;
  Milliseconds window_end_tick{};  // the tick at which the window closes; 0: none
  Milliseconds next_start_tick{};  // outside the window: when the next one opens; 0: unknown
  FileTimeUnits next_start_utc{};  // the same moment as a UTC FILETIME; 0: unknown
};

// A window that closes sooner than this counts as closed already: a prompt sent in its last
// moments could not be answered in time.
inline constexpr Milliseconds kMinimumWindowLeft{60000};

// Evaluates the window of message at the clock's present moment. Without the install-window
// flag the request is inside a window that never closes. The boundaries are placed on the
// local calendar (the end of a window past midnight on the next day's date, whatever the
// clocks do that night) and carry the seconds and milliseconds of the present moment; the
// start counts as inside, and the end must be kMinimumWindowLeft away or more. An end not
// later than the start wraps past midnight (start equal to end: the whole day).
[[nodiscard]] InstallWindow EvaluateInstallWindow(const wire::RequestMessage& message, Clock& clock);

}  // namespace qfu::worker
