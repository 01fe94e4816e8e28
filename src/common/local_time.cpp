#include "common/local_time.h"

namespace qfu {
namespace {

constexpr std::uint16_t kFirstFileTimeYear = 1601;
constexpr std::uint16_t kLastSystemTimeYear = 30827;

bool IsLeapYear(unsigned year) noexcept { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) noexcept {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool IsValidLocalDateTime(const LocalDateTime& time) noexcept {
  if (time.year < kFirstFileTimeYear || time.year > kLastSystemTimeYear) return false;
  if (time.month < 1 || time.month > 12) return false;
  if (time.day < 1 || time.day > DaysInMonth(time.year, time.month)) return false;
  return time.hour < 24 && time.minute < 60 && time.second < 60 && time.milliseconds < 1000;
}

LocalDateTime AddDays(LocalDateTime time, int days) noexcept {
  constexpr std::uint16_t kDaysPerWeek = 7;
  for (; days > 0; --days) {
    if (time.day < DaysInMonth(time.year, time.month)) {
      ++time.day;
    } else if (time.month < 12) {
      ++time.month;
      time.day = 1;
    } else if (time.year < kLastSystemTimeYear) {
      ++time.year;
      time.month = 1;
      time.day = 1;
    } else {
      return time;
    }
    time.day_of_week = static_cast<std::uint16_t>((time.day_of_week + 1) % kDaysPerWeek);
  }
  for (; days < 0; ++days) {
    if (time.day > 1) {
      --time.day;
    } else if (time.month > 1) {
      --time.month;
      time.day = static_cast<std::uint16_t>(DaysInMonth(time.year, time.month));
    } else if (time.year > kFirstFileTimeYear) {
      --time.year;
      time.month = 12;
      time.day = 31;
    } else {
      return time;
    }
    time.day_of_week = static_cast<std::uint16_t>((time.day_of_week + kDaysPerWeek - 1) % kDaysPerWeek);
  }
  return time;
}

}  // namespace qfu
