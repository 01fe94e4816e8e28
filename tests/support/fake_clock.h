#pragma once
// A clock for tests: every reading is a field the test sets. Local time is UTC shifted by
// utc_offset (100-nanosecond units, local = UTC + offset).
#include <windows.h>

#include <cstdint>
#include <optional>

#include "common/clock.h"

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

}  // namespace qfu::test
