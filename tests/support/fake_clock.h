#pragma once
// A clock for tests: every reading is a field the test sets. Local time is UTC shifted by
// utc_offset (100-nanosecond units, local = UTC + offset).
#include <windows.h>

#include <cstdint>
#include <optional>

#include "common/clock.h"
#include "common/system_clock.h"

namespace qfu::test {

class FakeClock final : public Clock {
 public:
  std::uint64_t tick = 50'000'000;
  std::uint64_t utc = 133'600'000'000'000'000;  // a moment in 2024
  std::int64_t utc_offset = 2 * 36'000'000'000LL;  // two hours east of UTC
  std::uint32_t next_random = 0;
  int random_draws = 0;  // how many draws were taken

  std::uint64_t TickCount() override { return tick; }
  std::uint64_t UtcNow() override { return utc; }
  LocalDateTime LocalNow() override { return ToLocal(utc); }
  std::optional<std::uint64_t> LocalToUtc(const LocalDateTime& local) override {
    const SYSTEMTIME time = ToSystemTime(local);
    FILETIME file_time = {};
    if (!::SystemTimeToFileTime(&time, &file_time)) return std::nullopt;
    return FileTimeValue(file_time) - utc_offset;
  }
  std::uint32_t NextRandom() override {
    ++random_draws;
    return next_random;
  }

  // The local date and time of a UTC FILETIME on this clock.
  [[nodiscard]] LocalDateTime ToLocal(std::uint64_t utc_time) const {
    const std::uint64_t local = utc_time + utc_offset;
    const FILETIME file_time = {static_cast<DWORD>(local), static_cast<DWORD>(local >> 32)};
    SYSTEMTIME time = {};
    ::FileTimeToSystemTime(&file_time, &time);
    return FromSystemTime(time);
  }
};

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
