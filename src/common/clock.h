#pragma once
// The clock port: the tick count, the UTC time, the local time and its conversion through the
// current time zone, and the pseudo-random draw all come through Clock, so that due ticks,
// deadlines and start times can be checked on a fake clock. The interface is portable; the
// production SystemClock (Windows only) calls Windows.
#include <cstdint>
#include <optional>

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#endif

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

// Largest value NextRandom returns.
inline constexpr std::uint32_t kRandomMax = 32767;

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds on the GetTickCount64 clock.
  [[nodiscard]] virtual std::uint64_t TickCount() = 0;
  // The current UTC time as a FILETIME (100-nanosecond intervals since 1 January 1601).
  [[nodiscard]] virtual std::uint64_t UtcNow() = 0;
  // The current local time.
  [[nodiscard]] virtual LocalDateTime LocalNow() = 0;
  // The UTC FILETIME of a local time under the current time zone, or nothing when it does not
  // convert.
  [[nodiscard]] virtual std::optional<std::uint64_t> LocalToUtc(const LocalDateTime& local) = 0;
  // The next value of the agent's pseudo-random generator, 0 to kRandomMax.
  [[nodiscard]] virtual std::uint32_t NextRandom() = 0;
};

#ifdef _WIN32

[[nodiscard]] inline SYSTEMTIME ToSystemTime(const LocalDateTime& t) noexcept {
  return SYSTEMTIME{t.year, t.month, t.day_of_week, t.day, t.hour, t.minute, t.second, t.milliseconds};
}
[[nodiscard]] inline LocalDateTime FromSystemTime(const SYSTEMTIME& t) noexcept {
  return LocalDateTime{t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}
[[nodiscard]] inline std::uint64_t FileTimeValue(const FILETIME& t) noexcept {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

class SystemClock final : public Clock {
 public:
  std::uint64_t TickCount() override { return ::GetTickCount64(); }

  std::uint64_t UtcNow() override {
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

  std::optional<std::uint64_t> LocalToUtc(const LocalDateTime& local) override {
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

// The process's one system clock.
[[nodiscard]] inline Clock& SystemClockInstance() {
  static SystemClock clock;
  return clock;
}

#endif  // _WIN32

}  // namespace qfu
