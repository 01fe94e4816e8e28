#pragma once
// The production clock: Windows' tick count, system time, local time and time zone, and one
// pseudo-random generator shared by the whole process.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>

#include "common/clock.h"

namespace qfu {

[[nodiscard]] inline SYSTEMTIME ToSystemTime(const LocalDateTime& t) noexcept {
  return SYSTEMTIME{t.year, t.month, t.day_of_week, t.day, t.hour, t.minute, t.second, t.milliseconds};
}
[[nodiscard]] inline LocalDateTime FromSystemTime(const SYSTEMTIME& t) noexcept {
  return LocalDateTime{t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                       t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
}
[[nodiscard]] inline FileTimeUnits FileTimeValue(const FILETIME& t) noexcept {
  return FileTimeUnits{(static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime};
}

class SystemClock final : public Clock {
 public:
  Milliseconds TickCount() override { return Milliseconds{::GetTickCount64()}; }

  FileTimeUnits UtcNow() override {
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    FILETIME utc = {};
    ::SystemTimeToFileTime(&now, &utc);
    return FileTimeValue(utc);
  }

  LocalDateTime LocalNow() override {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return FromSystemTime(now);
  }

  std::optional<FileTimeUnits> LocalToUtc(const LocalDateTime& local) override {
    TIME_ZONE_INFORMATION zone = {};
    if (::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return std::nullopt;
    const SYSTEMTIME local_time = ToSystemTime(local);
    SYSTEMTIME utc_time = {};
    FILETIME utc = {};
    if (!::TzSpecificLocalTimeToSystemTime(&zone, &local_time, &utc_time)) return std::nullopt;
    if (!::SystemTimeToFileTime(&utc_time, &utc)) return std::nullopt;
    return FileTimeValue(utc);
  }

  // One generator for the whole process. The C runtime's rand() keeps its state per thread,
  // so every new pipe connection thread would start from the same seed and draw the same
  // "random" delay; this generator (the same linear congruence) is shared by all threads.
  std::uint32_t NextRandom() override {
    std::atomic<std::uint32_t>& state = State();
    std::uint32_t current = state.load(std::memory_order_relaxed);
    std::uint32_t next = 0;
    do {
      next = current * 214013u + 2531011u;
    } while (!state.compare_exchange_weak(current, next, std::memory_order_relaxed));
    return (next >> 16) & kRandomMax;
  }

  // Seeds the shared generator; the service does so once at start, from the tick count.
  static void Seed(std::uint32_t seed) noexcept { State().store(seed, std::memory_order_relaxed); }

 private:
  // Until seeded, the generator starts from the tick count and the process id.
  static std::atomic<std::uint32_t>& State() noexcept {
    static std::atomic<std::uint32_t> state{static_cast<std::uint32_t>(::GetTickCount64()) ^
                                            (::GetCurrentProcessId() << 16)};
    return state;
  }
};

// The process's one system clock. Made once and never destroyed: pipe connection threads and
// the queue worker may still read the clock while the process ends, after static destructors
// have run (a destroyed clock would leave them calling through a dead object).
[[nodiscard]] inline Clock& SystemClockInstance() {
  alignas(SystemClock) static unsigned char storage[sizeof(SystemClock)];
  static SystemClock* const clock = new (storage) SystemClock;  // never fails, never destroyed
  return *clock;
}

}  // namespace qfu
