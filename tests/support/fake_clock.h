#pragma once
// A clock for tests: every reading is a field the test sets. Local time is UTC two hours on.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "common/system_clock.h"

namespace qfu::test {

class FakeClock final : public Clock {
 public:
  static constexpr FileTimeUnits kUtcOffset = std::chrono::hours(2);
  Milliseconds tick{50'000'000};
  FileTimeUnits utc{133'600'000'000'000'000};  // a moment in 2024

  Milliseconds TickCount() override { return tick; }
  FileTimeUnits UtcNow() override { return utc; }
  std::uint32_t NextRandom() override { return 0; }
  LocalDateTime LocalNow() override {
    const std::uint64_t wall = (utc + kUtcOffset).count();
    const FILETIME file_time = {static_cast<DWORD>(wall), static_cast<DWORD>(wall >> 32)};
    SYSTEMTIME time = {};
    (void)::FileTimeToSystemTime(&file_time, &time);
    return FromSystemTime(time);
  }
  std::optional<FileTimeUnits> LocalToUtc(const LocalDateTime& local) override {
    const SYSTEMTIME time = ToSystemTime(local);
    FILETIME wall = {};
    if (!IsValidLocalDateTime(local) || !::SystemTimeToFileTime(&time, &wall)) return std::nullopt;
    return FileTimeValue(wall) - kUtcOffset;
  }
};

}  // namespace qfu::test
