// The install window on the local wall clock, to the millisecond: both boundaries placed on the
// local calendar, through daylight-saving changes, with at least a minute left.
#include "worker/install_window.h"

#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "support/test_messages.h"

namespace qfu::worker {
namespace {

using namespace std::chrono_literals;

// A local time of 2024 to the millisecond.
constexpr LocalDateTime Local(std::uint16_t month, std::uint16_t day, std::uint16_t hour,
                              std::uint16_t minute, std::uint16_t second = 0,
                              std::uint16_t milliseconds = 0) {
  return LocalDateTime{2024, month, 0, day, hour, minute, second, milliseconds};
}

TEST(InstallWindow, LocalWallClockWindowsWithBothBoundariesInside) {
  struct Row {
    std::uint32_t flags = wire::flags::kInstallWindow;
    std::uint16_t start_hour = 22, start_minute = 0, end_hour = 6, end_minute = 0;
    LocalDateTime now;
    bool conversion_fails = false, inside = false;
    Milliseconds ends_in = {};    // inside: when the window closes (0: never)
    Milliseconds starts_in = {};  // outside: when the next one opens (0: unknown)
  };
  const Row rows[] = {
      {.now = Local(7, 1, 5, 0), .inside = true, .ends_in = 1h},  // opened the evening before
      // Less than a minute left counts as closed: the next opening is 22:00:59.999.
      {.now = Local(6, 12, 6, 0, 59, 999), .starts_in = 16h},
      {.start_hour = 9, .end_hour = 17, .now = Local(6, 12, 18, 0), .starts_in = 15h},  // 09:00 the next day
      {.start_hour = 10,
       .end_hour = 10,
       .now = Local(6, 12, 15, 0),
       .inside = true,
       .ends_in = 19h},  // a day
      {.start_hour = 9,
       .end_hour = 17,
       .now = Local(6, 12, 16, 59, 59, 999),
       .inside = true,
       .ends_in = 1min},
      {.start_hour = 9,
       .end_hour = 17,
       .now = Local(6, 12, 8, 59, 30),
       .starts_in = 1min},                                             // opens at 09:00:30
      {.flags = 0, .now = Local(6, 12, 12, 0), .inside = true},        // no flag: no window
      {.end_minute = 60, .now = Local(6, 12, 12, 0), .inside = true},  // no time of day: no window
      {.start_hour = 9,
       .end_hour = 17,
       .now = Local(6, 12, 12, 0),
       .conversion_fails = true},  // no next start
      // The clocks go forward inside the window: it closes after 2.5 real hours, not 3.5; and
      // back: 4.5. A window past midnight closes at 06:00 on the local calendar.
      {.start_hour = 1, .end_hour = 5, .now = Local(3, 31, 1, 30), .inside = true, .ends_in = 150min},
      {.start_hour = 1, .end_hour = 5, .now = Local(10, 27, 1, 30), .inside = true, .ends_in = 270min},
      {.now = Local(10, 26, 23, 0), .inside = true, .ends_in = 8h},
      {.now = Local(3, 30, 23, 0), .inside = true, .ends_in = 6h},
      {.start_hour = 9, .end_hour = 17, .now = Local(10, 26, 18, 0), .starts_in = 16h},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.start_hour << "-" << row.end_hour << " at " << row.now.month << "-"
                                    << row.now.day << " " << row.now.hour << ":" << row.now.minute);
    // One hour east of UTC, two in summer: forward at 02:00 on 31 March, back at 03:00 on 27 October.
    test::FakeClock clock;
    clock.utc_offset = 1h;
    clock.daylight_start = *clock.LocalToUtc(Local(3, 31, 2, 0));
    clock.daylight_end = *clock.LocalToUtc(Local(10, 27, 2, 0));
    clock.SetLocalNow(row.now);
    clock.conversion_fails = row.conversion_fails;
    const auto message =
        test::WindowMessage(row.flags, row.start_hour, row.start_minute, row.end_hour, row.end_minute);
    const InstallWindow window = EvaluateInstallWindow(wire::RequestMessage(message.span()), clock);
    EXPECT_EQ(window.in_window, row.inside);
    EXPECT_EQ(window.window_end_tick, row.ends_in != 0ms ? clock.tick + row.ends_in : Milliseconds{});
    EXPECT_EQ(window.next_start_tick, row.starts_in != 0ms ? clock.tick + row.starts_in : Milliseconds{});
    EXPECT_EQ(window.next_start_utc, row.starts_in != 0ms ? clock.utc + row.starts_in : FileTimeUnits{});
  }
}

}  // namespace
}  // namespace qfu::worker
