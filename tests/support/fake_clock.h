#pragma once
// A clock for tests: every reading is a field the test sets. Local time is UTC shifted by
// utc_offset (100-nanosecond units, local = UTC + offset), and by daylight_bias more inside
// the daylight-saving period. FakeClock is portable; ZonedSystemClock reads Windows' clock.
#include <cstdint>
#include <optional>

#include "common/clock.h"
#include "support/civil_time.h"

namespace qfu::test {

class FakeClock final : public Clock {
 public:
  std::uint64_t tick = 50'000'000;
  std::uint64_t utc = 133'600'000'000'000'000;          // a moment in 2024
  std::int64_t utc_offset = 2 * kFileTimeUnitsPerHour;  // two hours east of UTC
  // Daylight-saving time runs from daylight_start to daylight_end (UTC FILETIMEs, the end
  // excluded); none by default.
  std::uint64_t daylight_start = 0;
  std::uint64_t daylight_end = 0;
  std::int64_t daylight_bias = kFileTimeUnitsPerHour;
  bool conversion_fails = false;  // LocalToUtc converts nothing
  std::uint32_t next_random = 0;
  int random_draws = 0;  // how many draws were taken

  std::uint64_t TickCount() override { return tick; }
  std::uint64_t UtcNow() override { return utc; }
  LocalDateTime LocalNow() override { return ToLocal(utc); }
  // A local time of the daylight-saving period converts with its bias, any other as standard
  // time (a time skipped when the clocks go forward too).
  std::optional<std::uint64_t> LocalToUtc(const LocalDateTime& local) override {
    const std::optional<std::uint64_t> file_time = FileTimeOf(local);
    if (!file_time || conversion_fails) return std::nullopt;
    const std::uint64_t standard = *file_time - utc_offset;
    const std::uint64_t daylight = standard - daylight_bias;
    return IsDaylight(daylight) ? daylight : standard;
  }
  std::uint32_t NextRandom() override {
    ++random_draws;
    return next_random;
  }

  // The local date and time of a UTC FILETIME on this clock.
  [[nodiscard]] LocalDateTime ToLocal(std::uint64_t utc_time) const {
    return DateTimeOf(utc_time + utc_offset + (IsDaylight(utc_time) ? daylight_bias : 0));
  }
  // Moves the UTC time to the moment the local clock shows local.
  void SetLocalNow(const LocalDateTime& local) { utc = *LocalToUtc(local); }

 private:
  [[nodiscard]] bool IsDaylight(std::uint64_t utc_time) const {
    return daylight_start <= utc_time && utc_time < daylight_end;
  }
};

}  // namespace qfu::test

#ifdef _WIN32
#include <windows.h>

#include "common/system_clock.h"

namespace qfu::test {

// The system's tick count and UTC time with a time zone of the test's choosing (local = UTC +
// utc_offset), so that a start time, which has whole minutes only, can lie seconds ahead.
class ZonedSystemClock final : public Clock {
 public:
  std::int64_t utc_offset = 0;

  std::uint64_t TickCount() override { return SystemClockInstance().TickCount(); }
  std::uint64_t UtcNow() override { return SystemClockInstance().UtcNow(); }
  LocalDateTime LocalNow() override { return SystemClockInstance().LocalNow(); }
  std::optional<std::uint64_t> LocalToUtc(const LocalDateTime& local) override {
    FILETIME file_time = {};
    const SYSTEMTIME time = ToSystemTime(local);
    if (!::SystemTimeToFileTime(&time, &file_time)) return std::nullopt;
    return FileTimeValue(file_time) - utc_offset;
  }
  std::uint32_t NextRandom() override { return SystemClockInstance().NextRandom(); }

  // Sets the zone so that local lies milliseconds after the current UTC time.
  void PutAhead(const LocalDateTime& local, std::uint64_t milliseconds) {
    utc_offset = 0;
    utc_offset = static_cast<std::int64_t>(*LocalToUtc(local) - (UtcNow() + milliseconds * 10000));
  }
};

}  // namespace qfu::test

#endif  // _WIN32
