#include "store/request_time.h"

#include <strsafe.h>

#include <array>
#include <cwchar>
#include <gtest/gtest.h>
#include <thread>

#include "store/date_format.h"
#include "store/due_time.h"
#include "store/enqueue.h"
#include "store/store_operations.h"
#include "support/test_messages.h"
#include "support/test_store.h"
#include "wire/update_status.h"

namespace qfu::store {
namespace {

using test::StartingAt;
using test::SubmitMessage;
constexpr std::uint64_t kHour = 60 * kFileTimeUnitsPerMinute;

TEST(EnqueueRequest, NewRequestGetsItsDeadlineAndItsRequestTimeAndTimeStamp) {
  test::TestStore store(L"EnqueueNew");
  auto& clock = store.clock();
  const auto message = SubmitMessage("Fresh").U32(wire::kDeadlineAt, 1440);
  RequestRecord* entry = store.EnqueueAlone(message);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->deadline_tick, clock.tick + 86'400'000);
  EXPECT_TRUE(store.Value(L"Fresh", value::kInitialRequest));
  const SYSTEMTIME local = ToSystemTime(clock.LocalNow());
  wchar_t expected[kDateTimeTextCapacity] = {};
  ASSERT_EQ(FormatLocalDateTime(&local, expected, kDateTimeTextCapacity), S_OK);
  std::uint64_t read_time = 0;
  wchar_t read_text[kTimeStampUnits] = {};
  ASSERT_EQ(
      ReadRequestTime(store.objects(), test::NameField(message), 0, &read_time, read_text, kTimeStampBytes),
      0u);
  EXPECT_EQ(read_time, clock.utc);
  EXPECT_STREQ(read_text, expected);
}

TEST(EnqueueRequest, ResumedRequestKeepsItsDeadlineAndStoredValues) {
  test::TestStore store(L"EnqueueResumed");
  const auto message = SubmitMessage("Resumed").U32(wire::kDeadlineAt, 60);
  RequestRecord* entry = store.EnqueueAlone(message, store.clock().utc - 2 * kHour);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->deadline_tick, store.clock().tick);  // passed an hour ago
  EXPECT_EQ(store.Dword(L"Resumed", value::kUpdateStatus), wire::WireValue(wire::kQueued));
  for (const wchar_t* name : {value::kInitialRequest, value::kRequestTime, value::kTimeStamp}) {
    EXPECT_FALSE(store.Value(L"Resumed", name)) << name;
  }
}

TEST(EnqueueRequest, StartTimeAheadIsDueThenAndOtherStartTimesAtOnce) {
  test::TestStore store(L"EnqueueStart");
  auto& clock = store.clock();
  clock.utc -= clock.utc % kFileTimeUnitsPerMinute;  // on a whole minute
  RequestRecord* ahead =
      store.EnqueueAlone(StartingAt(SubmitMessage("Ahead"), clock.ToLocal(clock.utc + kHour)));
  ASSERT_NE(ahead, nullptr);
  EXPECT_EQ(ahead->due_tick, clock.tick + 3'600'000);
  EXPECT_EQ(ahead->timer_due, clock.utc + kHour);
  // Armed later, by the worker on its own thread: this one never waits alertably.
  EXPECT_FALSE(ahead->request_timer);
  for (const auto& start : {clock.ToLocal(clock.utc - kHour), LocalDateTime{2030, 2, 0, 30, 12, 0, 0, 0}}) {
    RequestRecord* entry = store.EnqueueAlone(StartingAt(SubmitMessage("AtOnce"), start));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->due_tick, 0u);
    EXPECT_EQ(entry->timer_due, 0u);
  }
}

TEST(EnqueueRequest, RandomDelayFromTheDrawEvenWithEqualBoundsUnlessFlag4) {
  test::TestStore store(L"EnqueueDelay");
  auto& clock = store.clock();
  clock.next_random = 59;
  // Minimum, maximum, flags, minutes of delay.
  const std::array<std::uint32_t, 4> cases[] = {{30, 90, 0, 89}, {30, 30, 0, 30}, {30, 90, 0x4, 0}};
  for (const auto& [minimum, maximum, flags, minutes] : cases) {
    SCOPED_TRACE(testing::Message() << maximum << " " << flags);
    clock.random_draws = 0;
    auto message =
        SubmitMessage("Delayed").Flags(wire::RequestFlags{flags}).U32(wire::kRandomDelayMinAt, minimum);
    RequestRecord* entry = store.EnqueueAlone(message.U32(wire::kRandomDelayMaxAt, maximum));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->due_tick, minutes == 0 ? 0 : clock.tick + minutes * kMsPerMinute);
    EXPECT_EQ(clock.random_draws, minutes == 0 ? 0 : 1);
  }
}

TEST(EnqueueRequest, RefusesANameThatCannotKeyARequest) {
  test::TestStore store(L"EnqueueBadName");
  test::ReplyBuffer reply;
  EXPECT_EQ(EnqueueRequest(store.objects(), SubmitMessage("").span(), 0, reply.record()),
            wire::result::kCannotCarryOut);
  EXPECT_EQ(store.RequestCount(), 0u);
  EXPECT_FALSE(store.TakeUpdateEvent());
}

TEST(FormatLocalDateTime, GivesDateSpaceTimeAndReportsACutText) {
  const SYSTEMTIME time = {2024, 3, 0, 5, 14, 7, 0, 0};
  wchar_t text[kDateTimeTextCapacity] = {};
  ASSERT_EQ(FormatLocalDateTime(&time, text, kDateTimeTextCapacity), S_OK);
  const std::wstring formatted(text);
  const auto space = formatted.find(L' ');
  EXPECT_TRUE(space > 0 && space + 1 < formatted.size() && formatted.find(L"2024") < space)
      << formatted.c_str();
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
