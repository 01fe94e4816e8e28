#include "worker/install_window.h"

#include <gtest/gtest.h>
#include <optional>

#include "support/civil_time.h"
#include "support/fake_clock.h"
#include "support/test_messages.h"

namespace qfu::worker {
namespace {

using namespace wire;

// A local time of 2024 to the millisecond.
LocalDateTime Local(std::uint16_t month, std::uint16_t day, std::uint16_t hour, std::uint16_t minute,
                    std::uint16_t second = 0, std::uint16_t milliseconds = 0) {
  return LocalDateTime{2024, month, 0, day, hour, minute, second, milliseconds};
}

// A zone one hour east of UTC, two in summer: the clocks go forward at 02:00 on 31 March
// 2024 and back at 03:00 on 27 October.
void SetCentralEuropeanZone(test::FakeClock& clock) {
  clock.utc_offset = test::kFileTimeUnitsPerHour;
  clock.daylight_start = *test::FileTimeOf(LocalDateTime{2024, 3, 0, 31, 1, 0, 0, 0});
  clock.daylight_end = *test::FileTimeOf(LocalDateTime{2024, 10, 0, 27, 1, 0, 0, 0});
}

TEST(InstallWindow, LocalWallClockWindowsWithBothBoundariesInside) {
  constexpr std::uint64_t kMinute = 60'000;
  constexpr std::uint64_t kHour = 60 * kMinute;
  constexpr RequestFlags kWindow = flags::kInstallWindow;
  struct Case {
    RequestFlags flags;
    std::uint16_t start_hour, start_minute, end_hour, end_minute;
    LocalDateTime now;
    bool conversion_fails;
    bool inside;
    std::optional<std::uint64_t> ends_in_ms;    // inside: when the window closes
    std::optional<std::uint64_t> starts_in_ms;  // outside: when the next one opens
  };
  const Case cases[] = {
      {kWindow, 22, 0, 6, 0, Local(6, 30, 23, 30), false, true, 6 * kHour + 30 * kMinute, {}},
      {kWindow, 22, 0, 6, 0, Local(7, 1, 5, 0), false, true, 1 * kHour, {}},  // opened the evening before
      // Less than a minute left counts as closed: the next opening is 22:00:59.999.
      {kWindow, 22, 0, 6, 0, Local(6, 12, 6, 0, 59, 999), false, false, {}, 16 * kHour},
      {kWindow, 22, 0, 6, 0, Local(6, 12, 12, 0), false, false, {}, 10 * kHour},
      {kWindow, 9, 0, 17, 0, Local(6, 12, 18, 0), false, false, {}, 15 * kHour},  // 09:00 the next day
      {kWindow, 10, 0, 10, 0, Local(6, 12, 15, 0), false, true, 19 * kHour, {}},  // start = end: a whole day
      {kWindow, 10, 0, 10, 0, Local(6, 12, 9, 0), false, true, 1 * kHour, {}},
      {kWindow, 9, 0, 17, 0, Local(6, 12, 16, 59, 59, 999), false, true, 1 * kMinute, {}},  // a minute left
      {kWindow, 9, 0, 17, 0, Local(6, 12, 17, 1), false, false, {}, 15 * kHour + 59 * kMinute},
      {kWindow, 9, 0, 17, 0, Local(6, 12, 8, 59, 30), false, false, {}, 1 * kMinute},  // opens at 09:00:30
      {{}, 22, 0, 6, 0, Local(6, 12, 12, 0), false, true, {}, {}},                     // no flag: no window
      {kWindow, 24, 0, 6, 0, Local(6, 12, 12, 0), false, true, {}, {}},  // no time of day: no window
      {kWindow, 22, 0, 6, 60, Local(6, 12, 12, 0), false, true, {}, {}},
      // Not evaluable: outside, with no next start to wait for.
      {kWindow, 9, 0, 17, 0, Local(6, 12, 12, 0), true, false, {}, {}},
      // The clocks go forward inside the window: it closes after 2.5 real hours, not 3.5.
      {kWindow, 1, 0, 5, 0, Local(3, 31, 1, 30), false, true, 2 * kHour + 30 * kMinute, {}},
      // And back: 4.5 real hours.
      {kWindow, 1, 0, 5, 0, Local(10, 27, 1, 30), false, true, 4 * kHour + 30 * kMinute, {}},
      // A window past midnight closes at 06:00 on the local calendar the night the clocks go
      // back (8 real hours) or forward (6), and the next day's opening is found the same way.
      {kWindow, 22, 0, 6, 0, Local(10, 26, 23, 0), false, true, 8 * kHour, {}},
      {kWindow, 22, 0, 6, 0, Local(3, 30, 23, 0), false, true, 6 * kHour, {}},
      {kWindow, 9, 0, 17, 0, Local(10, 26, 18, 0), false, false, {}, 16 * kHour},
  };
  for (const Case& c : cases) {
    test::FakeClock clock;
    SetCentralEuropeanZone(clock);
    clock.SetLocalNow(c.now);
    clock.conversion_fails = c.conversion_fails;
    const auto message = test::WindowMessage(c.flags, c.start_hour, c.start_minute, c.end_hour, c.end_minute);
    const InstallWindow window = EvaluateInstallWindow(RequestMessage(message.span()), clock);
    SCOPED_TRACE(testing::Message() << c.start_hour << ":" << c.start_minute << "-" << c.end_hour << ":"
                                    << c.end_minute << " at " << c.now.month << "-" << c.now.day << " "
                                    << c.now.hour << ":" << c.now.minute);
    EXPECT_EQ(window.in_window, c.inside);
    EXPECT_EQ(window.window_end_tick, c.ends_in_ms ? clock.tick + *c.ends_in_ms : 0);
    EXPECT_EQ(window.next_start_tick, c.starts_in_ms ? clock.tick + *c.starts_in_ms : 0);
    EXPECT_EQ(window.next_start_utc, c.starts_in_ms ? clock.utc + *c.starts_in_ms * 10'000 : 0);
  }
}

}  // namespace
}  // namespace qfu::worker
