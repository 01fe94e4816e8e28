#include "store/date_format.h"
#include "store/enqueue.h"
#include "store/request_time.h"

#include <strsafe.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <cwchar>
#include <thread>

#include "store/due_time.h"
#include "store/store_operations.h"
#include "wire/update_status.h"
#include "support/test_messages.h"
#include "support/test_store.h"

namespace qfu::store {
namespace {

using Record = std::array<std::uint8_t, wire::kStatusRecordSize>;
constexpr std::uint64_t kHour = 60 * kFileTimeUnitsPerMinute;

// Enqueues the message as a new request (or one accepted at stored) and returns its record,
// the only one in the list.
RequestRecord* Enqueue(test::TestStore& store, const wire::MessageWriter& message, std::uint64_t stored = 0) {
  store.objects().requests.Clear();
  Record bytes{};
  wire::StatusRecord record(bytes);
  EXPECT_EQ(EnqueueRequest(store.objects(), message.span(), stored, record), wire::result::kDone);
  EXPECT_EQ(record.update_status(), wire::kQueued);
  RequestRecord* found = nullptr;
  store.objects().requests.ForEach([&](RequestRecord& r) { return found = &r, true; });
  return found;
}

wire::MessageWriter StartingAt(std::string_view name, const LocalDateTime& local) {
  auto message = test::SubmitMessage(name).Flags(wire::flags::kStartTime);
  message.U16(wire::kStartYearAt, local.year).U16(wire::kStartMonthAt, local.month).U16(wire::kStartDayAt, local.day);
  message.U16(wire::kStartHourAt, local.hour).U16(wire::kStartMinuteAt, local.minute);
  return message;
}

TEST(EnqueueRequest, NewRequestGetsItsDeadlineIdentityAndRequestTime) {
  test::TestStore store(L"EnqueueNew");
  auto& clock = store.clock();
  const auto message = test::SubmitMessage("Fresh").U32(wire::kDeadlineAt, 1440);
  RequestRecord* entry = Enqueue(store, message);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->due_tick, 0u);
  EXPECT_EQ(entry->deadline_tick, clock.tick + 86'400'000);
  EXPECT_FALSE(entry->request_timer);
  EXPECT_TRUE(store.TakeUpdateEvent());
  EXPECT_EQ(store.Value(L"Fresh", value::kInitialRequest)->bytes, message.bytes());

  const auto time = store.Value(L"Fresh", value::kRequestTime);
  EXPECT_TRUE(time && time->type == REG_QWORD && time->bytes.size() == 8);
  const auto stamp = store.Value(L"Fresh", value::kTimeStamp);
  EXPECT_TRUE(stamp && stamp->type == REG_SZ && stamp->bytes.size() == 128);
  const SYSTEMTIME local = ToSystemTime(clock.LocalNow());
  wchar_t expected[kDateTimeTextCapacity] = {};
  ASSERT_EQ(FormatLocalDateTime(&local, expected, kDateTimeTextCapacity), S_OK);
  EXPECT_GT(std::wcslen(expected), 2u);
  std::uint64_t read_time = 0;
  wchar_t read_text[kTimeStampUnits] = {};
  ASSERT_EQ(ReadRequestTime(store.objects(), wire::RequestMessage(message.span()).request_name_field(), 0, &read_time,
                            read_text, kTimeStampBytes),
            0u);
  EXPECT_EQ(read_time, clock.utc);
  EXPECT_STREQ(read_text, expected);
}

TEST(EnqueueRequest, ResumedRequestKeepsItsDeadlineAndStoredValues) {
  test::TestStore store(L"EnqueueResumed");
  RequestRecord* entry =
      Enqueue(store, test::SubmitMessage("Resumed").U32(wire::kDeadlineAt, 60), store.clock().utc - 2 * kHour);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->deadline_tick, store.clock().tick);  // passed an hour ago
  EXPECT_TRUE(store.Value(L"Resumed", value::kUpdateStatus));
  for (const wchar_t* name : {value::kInitialRequest, value::kRequestTime, value::kTimeStamp}) {
    EXPECT_FALSE(store.Value(L"Resumed", name)) << name;
  }
}

TEST(EnqueueRequest, StartTimeAheadIsDueThenAndOtherStartTimesAtOnce) {
  test::TestStore store(L"EnqueueStart");
  auto& clock = store.clock();
  clock.utc -= clock.utc % kFileTimeUnitsPerMinute;  // on a whole minute
  RequestRecord* ahead = Enqueue(store, StartingAt("Ahead", clock.ToLocal(clock.utc + kHour)));
  ASSERT_NE(ahead, nullptr);
  EXPECT_EQ(ahead->due_tick, clock.tick + 3'600'000);
  EXPECT_TRUE(ahead->request_timer);
  for (const auto& start : {clock.ToLocal(clock.utc - kHour), LocalDateTime{2030, 2, 0, 30, 12, 0, 0, 0}}) {
    RequestRecord* entry = Enqueue(store, StartingAt("AtOnce", start));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->due_tick, 0u);
    EXPECT_FALSE(entry->request_timer);
  }
}

TEST(EnqueueRequest, RandomDelayLiesAboveTheMinimumUnlessFlag4) {
  struct Case {
    std::uint32_t minimum, maximum, flags, draw;
    std::uint64_t minutes;  // 0: no delay and no draw
  };
  const Case cases[] = {{30, 90, 0, 0, 30},  {30, 90, 0, 59, 89}, {90, 30, 0, 0, 90},
                        {90, 30, 0, 59, 149}, {30, 30, 0, 59, 30}, {30, 90, 0x4, 59, 0}};
  test::TestStore store(L"EnqueueDelay");
  auto& clock = store.clock();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.minimum << ".." << c.maximum << " flags " << c.flags);
    clock.next_random = c.draw;
    clock.random_draws = 0;
    auto message = test::SubmitMessage("Delayed").Flags(c.flags);
    RequestRecord* entry =
        Enqueue(store, message.U32(wire::kRandomDelayMinAt, c.minimum).U32(wire::kRandomDelayMaxAt, c.maximum));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->due_tick, c.minutes == 0 ? 0 : clock.tick + c.minutes * kMsPerMinute);
    EXPECT_EQ(clock.random_draws, c.minutes == 0 ? 0 : 1);
    EXPECT_EQ(entry->request_timer.valid(), c.minutes != 0);
  }
}

TEST(EnqueueRequest, RequestTimerWakesTheWorkerThroughItsCompletionRoutine) {
  test::TestStore store(L"EnqueueTimer");
  auto& clock = store.clock();
  // The fake time zone puts the start time half a second ahead of the real clock.
  FILETIME real_utc = {};
  ::GetSystemTimeAsFileTime(&real_utc);
  clock.utc = FileTimeValue(real_utc);
  const LocalDateTime start{2030, 1, 0, 1, 0, 0, 0, 0};
  clock.utc_offset = static_cast<std::int64_t>(*clock.LocalToUtc(start) + clock.utc_offset -
                                               (clock.utc + 500 * kFileTimeUnitsPerMs));
  ASSERT_NE(Enqueue(store, StartingAt("Timed", start)), nullptr);
  ASSERT_TRUE(store.TakeUpdateEvent());  // the enqueue's own wake-up
  // The completion routine runs on this thread, in an alertable wait, and sets the event.
  DWORD wait = WAIT_IO_COMPLETION;
  for (int i = 0; i < 10 && wait == WAIT_IO_COMPLETION; ++i) {
    wait = ::WaitForSingleObjectEx(store.objects().update_event.get(), 5000, TRUE);
  }
  EXPECT_TRUE(wait == WAIT_OBJECT_0 || store.TakeUpdateEvent());
}

TEST(EnqueueRequest, RefusesANameThatCannotKeyARequest) {
  test::TestStore store(L"EnqueueBadName");
  Record bytes{};
  wire::StatusRecord record(bytes);
  EXPECT_EQ(EnqueueRequest(store.objects(), test::SubmitMessage("").span(), 0, record), wire::result::kCannotCarryOut);
  EXPECT_EQ(record.update_status(), 0u);
  EXPECT_EQ(store.RequestCount(), 0u);
  EXPECT_FALSE(store.TakeUpdateEvent());
}

TEST(FormatLocalDateTime, GivesDateSpaceTimeAndReportsACutText) {
  const SYSTEMTIME time = {2024, 3, 0, 5, 14, 7, 0, 0};
  wchar_t text[kDateTimeTextCapacity] = {};
  ASSERT_EQ(FormatLocalDateTime(&time, text, kDateTimeTextCapacity), S_OK);
  const std::wstring formatted(text);
  const auto space = formatted.find(L' ');
  EXPECT_TRUE(space > 0 && space + 1 < formatted.size() && formatted.find(L"2024") < space) << formatted.c_str();
  wchar_t small[5] = {};
  EXPECT_EQ(FormatLocalDateTime(&time, small, 5), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wcslen(small), 4u);
}

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
