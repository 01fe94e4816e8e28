#include "support/civil_time.h"

namespace qfu::test {
namespace {

constexpr std::uint64_t kUnitsPerMs = 10'000;
constexpr std::uint64_t kUnitsPerSecond = 1000 * kUnitsPerMs;
constexpr std::uint64_t kUnitsPerDay = 86'400 * kUnitsPerSecond;
constexpr std::uint64_t kDaysPer400Years = 146'097;
// Days from 1 March of year 0 (the proleptic calendar's era start) to 1 January 1601.
constexpr std::uint64_t kEraStartTo1601 = 584'694;
// 1 January 1601 was a Monday (day of week 1, Sunday being 0).
constexpr std::uint64_t kDayOfWeekOf1601 = 1;

// Days since 1 March of year 0; years begin in March, so the leap day ends a year.
std::uint64_t DaysFromEraStart(unsigned year, unsigned month, unsigned day) noexcept {
  if (month <= 2) --year;
  const unsigned era = year / 400;
  const unsigned year_of_era = year - era * 400;
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return std::uint64_t{era} * kDaysPer400Years + day_of_era;
}

}  // namespace

std::optional<std::uint64_t> FileTimeOf(const LocalDateTime& time) noexcept {
  if (!IsValidLocalDateTime(time)) return std::nullopt;
  const std::uint64_t days = DaysFromEraStart(time.year, time.month, time.day) - kEraStartTo1601;
  const std::uint64_t seconds = (time.hour * 60u + time.minute) * 60u + time.second;
  return days * kUnitsPerDay + seconds * kUnitsPerSecond + time.milliseconds * kUnitsPerMs;
}

LocalDateTime DateTimeOf(std::uint64_t file_time) noexcept {
  const std::uint64_t days_since_1601 = file_time / kUnitsPerDay;
  const std::uint64_t days = days_since_1601 + kEraStartTo1601;
  const std::uint64_t era = days / kDaysPer400Years;
  const std::uint64_t day_of_era = days - era * kDaysPer400Years;
  const std::uint64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::uint64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::uint64_t month_from_march = (5 * day_of_year + 2) / 153;
  const std::uint64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
  const std::uint64_t year = era * 400 + year_of_era + (month <= 2 ? 1 : 0);
  const std::uint64_t units_of_day = file_time % kUnitsPerDay;
  const std::uint64_t seconds_of_day = units_of_day / kUnitsPerSecond;

  LocalDateTime time;
  time.year = static_cast<std::uint16_t>(year);
  time.month = static_cast<std::uint16_t>(month);
  time.day_of_week = static_cast<std::uint16_t>((days_since_1601 + kDayOfWeekOf1601) % 7);
  time.day = static_cast<std::uint16_t>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  time.hour = static_cast<std::uint16_t>(seconds_of_day / 3600);
  time.minute = static_cast<std::uint16_t>(seconds_of_day / 60 % 60);
  time.second = static_cast<std::uint16_t>(seconds_of_day % 60);
  time.milliseconds = static_cast<std::uint16_t>(units_of_day % kUnitsPerSecond / kUnitsPerMs);
  return time;
}

}  // namespace qfu::test
