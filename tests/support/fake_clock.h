#pragma once
// A clock for tests: every reading is a field the test sets. Local time is UTC shifted by
// utc_offset, and by daylight_bias more inside the daylight-saving period.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <ratio>

#include "common/system_clock.h"

namespace qfu::test {

// A signed interval in 100-ns units: how far a zone lies east of UTC.
using FileTimeOffset = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;

class FakeClock final : public Clock {
 public:
  Milliseconds tick{50'000'000};
  FileTimeUnits utc{133'600'000'000'000'000};         // a moment in 2024
  FileTimeOffset utc_offset = std::chrono::hours(2);  // two hours east of UTC
  // Daylight-saving time runs from daylight_start to daylight_end (UTC, the end excluded).
  FileTimeUnits daylight_start{};
  FileTimeUnits daylight_end{};
  FileTimeOffset daylight_bias = std::chrono::hours(1);
  bool conversion_fails = false;  // LocalToUtc converts nothing
  std::uint32_t next_random = 0;
  int random_draws = 0;

  Milliseconds TickCount() override { return tick; }
  FileTimeUnits UtcNow() override { return utc; }
  LocalDateTime LocalNow() override { return ToLocal(utc); }
  // A local time of the daylight-saving period converts with its bias, any other as standard
  // time (a time skipped when the clocks go forward too).
  std::optional<FileTimeUnits> LocalToUtc(const LocalDateTime& local) override {
    const SYSTEMTIME time = ToSystemTime(local);
    FILETIME wall = {};
    if (conversion_fails || !IsValidLocalDateTime(local) || !::SystemTimeToFileTime(&time, &wall)) {
      return std::nullopt;
    }
    const FileTimeUnits standard = FileTimeValue(wall) - utc_offset;
    const FileTimeUnits daylight = standard - daylight_bias;
    return IsDaylight(daylight) ? daylight : standard;
  }
  std::uint32_t NextRandom() override {
    ++random_draws;
    return next_random;
  }

  // The local date and time of a UTC moment on this clock.
  [[nodiscard]] LocalDateTime ToLocal(FileTimeUnits moment) const {
    const std::uint64_t wall =
        (moment + utc_offset + (IsDaylight(moment) ? daylight_bias : FileTimeOffset{})).count();
    const FILETIME file_time = {static_cast<DWORD>(wall), static_cast<DWORD>(wall >> 32)};
    SYSTEMTIME time = {};
    (void)::FileTimeToSystemTime(&file_time, &time);
    return FromSystemTime(time);
  }
  // Moves the UTC time to the moment the local clock shows local.
  void SetLocalNow(const LocalDateTime& local) { utc = *LocalToUtc(local); }

 private:
  [[nodiscard]] bool IsDaylight(FileTimeUnits moment) const {
    return daylight_start <= moment && moment < daylight_end;
  }
};

}  // namespace qfu::test
