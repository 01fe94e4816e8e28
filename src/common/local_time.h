#pragma once
// A local date and time with SYSTEMTIME's fields, and the calendar rule that says whether
// such fields name a real moment. Portable: the agent schedules by it, and qfupdatectl checks
// start times with it before it sends them.
#include <cstdint>

namespace qfu {

// A local date and time: SYSTEMTIME's fields, in its order.
struct LocalDateTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;
  std::uint16_t day_of_week = 0;
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;
};

// True when the fields name a real local date and time (years 1601 to 30827, the day inside
// its month, hour below 24, minute and second below 60, milliseconds below 1000).
[[nodiscard]] bool IsValidLocalDateTime(const LocalDateTime& time) noexcept;

// The same time of day days later (earlier when negative) on the calendar, day of the week
// included; the time of a valid date. Stays within years 1601 to 30827: a step past them
// leaves the date as it is.
[[nodiscard]] LocalDateTime AddDays(LocalDateTime time, int days) noexcept;

}  // namespace qfu
