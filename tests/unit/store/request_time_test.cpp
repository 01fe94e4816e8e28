// When an accepted request is due, read from its message on the test clock: its deadline from
// the acceptance, its start time and random delay; and the acceptance written for a new one.
#include "store/request_time.h"

#include <array>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

#include "common/system_clock.h"
#include "store/date_format.h"
#include "store/enqueue.h"
#include "support/test_messages.h"
#include "support/test_store.h"

namespace qfu::store {
namespace {

using namespace std::chrono_literals;

TEST(EnqueueRequest, DeadlineStartTimeAndDelayFromTheMessage) {
  test::TestStore store(L"EnqueueTimes");
  test::FakeClock& clock = store.clock();
  clock.utc -= clock.utc % Minutes{1};  // start times have whole minutes
  clock.next_random = 59;
  struct Row {
    std::uint32_t deadline = 0, delay_min = 0, delay_max = 0, flags = 0;
    std::optional<Milliseconds> start_in = {};       // the start time, from now
    std::optional<FileTimeUnits> accepted_ago = {};  // resumed: accepted then
    Milliseconds deadline_in = {}, due_in = {};      // 0: at once
    bool timer = false;                              // at the due moment
  };
  const Row rows[] = {
      {.deadline = 1440, .deadline_in = 24h},
      {.deadline = 60, .accepted_ago = 30min, .deadline_in = 30min},
      {.deadline = 60, .accepted_ago = 2h},  // passed: now
      {.start_in = 1h, .due_in = 1h, .timer = true},
      {.start_in = -1h},  // a start time passed is no start time
      {.delay_min = 30,
       .delay_max = 90,
       .start_in = 1h,
       .due_in = 1h + 89min,
       .timer = true},  // 30 + 59 % 60
      {.delay_min = 30, .delay_max = 30, .due_in = 30min, .timer = true},
      {.delay_min = 30, .delay_max = 90, .flags = wire::flags::kDownloadWhenDisconnected},  // no delay
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    auto message = test::SubmitMessage("Timed").Flags(row.flags).U32(wire::kDeadlineAt, row.deadline);
    message.U32(wire::kRandomDelayMinAt, row.delay_min).U32(wire::kRandomDelayMaxAt, row.delay_max);
    if (row.start_in) message = test::StartingAt(message, clock.ToLocal(clock.utc + *row.start_in));
    const RequestRecord* entry =
        store.EnqueueAlone(message, row.accepted_ago ? clock.utc - *row.accepted_ago : FileTimeUnits{});
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->deadline_tick, clock.tick + row.deadline_in);
    EXPECT_EQ(entry->due_tick, row.due_in != 0ms ? clock.tick + row.due_in : Milliseconds{});
    EXPECT_EQ(entry->timer_due, row.timer ? clock.utc + row.due_in : FileTimeUnits{});
    EXPECT_FALSE(entry->request_timer);  // armed by the worker, on its own thread
  }
  // A new request's acceptance: the moment, and the local time as text; a resumed one keeps its.
  FileTimeUnits accepted{};
  wchar_t text[kTimeStampUnits] = {};
  ASSERT_EQ(ReadRequestTime(store.objects(), test::NameField(test::SubmitMessage("Timed")), 0, &accepted,
                            text, kTimeStampBytes),
            0u);
  EXPECT_EQ(accepted, clock.utc);
  const SYSTEMTIME local = ToSystemTime(clock.LocalNow());
  wchar_t expected[kDateTimeTextCapacity] = {};
  ASSERT_EQ(FormatLocalDateTime(&local, expected, kDateTimeTextCapacity), S_OK);
  EXPECT_STREQ(text, expected);
}

// One generator for the process: a connection thread does not start again from the same seed.
TEST(SystemClock, FreshThreadsDrawDifferentValues) {
  auto draws = [] {
    std::array<std::uint32_t, 4> values{};
    std::thread([&] {
      for (auto& v : values) v = SystemClockInstance().NextRandom();
    }).join();
    return values;
  };
  EXPECT_NE(draws(), draws());
}

}  // namespace
}  // namespace qfu::store
